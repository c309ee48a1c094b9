'use strict';

// A real browser-side RDP client, the way an application uses the gateway:
// the page of `quillgate --web`, with IronRDP's web client (the
// iron-remote-desktop web component with its WebAssembly RDP backend), in
// headless Chromium, through the gateway (a child process with its
// diagnostic lines on) to a real xrdp, and to FreeRDP's shadow server, which
// checks the credentials typed into the page with Network Level
// Authentication.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { Gateway } = require('../js/support/gateway');
const { waitFor } = require('../js/helpers');
const { available: haveXrdp, startXrdp, freePort } = require('../js/support/xrdp');
const { startRdpServer, readPacket } = require('../js/support/rdp-server');
const { preconnectionPdu, X224_NEG_FAILURE } = require('../js/support/der');
const { RECORDED, kdcProxyMessage, kerbMessageOf, startKdc } = require('../js/support/kdc');
const { startWebServer } = require('../../lib/web-server');
const { readmeFiles } = require('../js/support/readme');
const freerdp = require('./freerdp');
const harness = require('./harness');
const { startBrowser, openPage, connect, outcome, fetchKdc, waitForPicture } = harness;

// A name that is not loopback, resolved to 127.0.0.1 by the browser alone.
const FOREIGN_HOST = 'rdp-portal.example';
// The shadow server's one account.
const USER = 'alice';
const PASSWORD = 'Tr0ub4dor&3 p\u00e4ss';

const missing = [...harness.missing(), ...(haveXrdp ? [] : ['xrdp']), ...freerdp.missing()];
// `npm test` sets QUILLGATE_BROWSER_TEST=required: there, a missing piece is a failure, not a skip.
const required = process.env.QUILLGATE_BROWSER_TEST === 'required';
if (missing.length) console.log(`# browser.test.js: ${required ? 'FAILED' : 'SKIPPED'}: not installed: ${missing.join(', ')}`);

let xrdp;
let shadow;
let kdc;
let gateway;
let pageServer;
let browser;
let firstSession;  // the id of the connection the first test leaves open
test.before(async () => {
  if (missing.length) {
    if (required) throw new Error(`not installed: ${missing.join(', ')}`);
    return;
  }
  // Each piece is kept as soon as it runs, so that the clean-up below stops
  // whatever started even when another piece failed.
  const started = await Promise.allSettled([
    startXrdp().then((x) => (xrdp = x)),
    freerdp.startShadow({ user: USER, password: PASSWORD }).then((s) => (shadow = s)),
    Gateway.start().then(async (g) => (gateway = g, pageServer = await startWebServer({ gatewayPort: g.port }))),
    // Answers the recorded AS-REQ as MIT's KDC did.
    startKdc((message) => (message.equals(RECORDED.asReq) ? RECORDED.preauthRequired : Buffer.alloc(0))).then((k) => (kdc = k)),
  ]);
  const failed = started.find((r) => r.status === 'rejected');
  if (failed) throw failed.reason;
  browser = await startBrowser({ hostRules: `MAP ${FOREIGN_HOST} 127.0.0.1` });
}, { timeout: 120000 });
test.after(async () => {
  await browser?.stop();
  await pageServer?.close();
  await gateway?.stop();
  await xrdp?.stop();
  await shadow?.stop();
  await kdc?.close();
}, { timeout: 60000 });
// Interrupted (Ctrl-C, or a runner's time limit): the browser runs in a
// process group of its own and would outlive this process.
for (const name of ['SIGINT', 'SIGTERM']) {
  process.once(name, () => {
    browser?.kill();
    xrdp?.kill();
    shadow?.kill();
    gateway?.child.kill('SIGKILL');
    process.kill(process.pid, name);
  });
}

const loopbackPage = () => `http://127.0.0.1:${pageServer.port}/`;
// Network Level Authentication is offered by default, and a server without
// it (xrdp) picks TLS; this offers TLS alone.
const TLS_ONLY = { nla: 'off' };
// Connections xrdp accepted so far, as its log counts them.
const accepted = () => (xrdp.log().match(/\] Socket \d+: AF_INET connection received from /g) ?? []).length;

// Runs `body`; on failure keeps a screenshot and the browser's console log.
async function withEvidence(t, body) {
  try {
    await body();
  } catch (error) {
    const dir = browser
      ? await browser.keepEvidence(t.name, { 'gateway-stderr.log': gateway.stderr }).catch((e) => `(none: ${e.message})`)
      : '(none: no browser)';
    t.diagnostic(`screenshot, browser console log and the gateway's standard error kept in ${dir}`);
    throw error;
  }
}

const options = { skip: missing.length > 0 && !required, timeout: 90000 };

// A TCP front for xrdp on 127.0.0.1:`port` (0: one the system picks). With
// `preconnection` (the bytes of a pre-connection PDU), each connection must
// start with exactly those bytes, which the front keeps (`pdus`) and strips
// before relaying the rest; any other start ends the connection. With
// `delay` (ms), it reaches xrdp only that long after the client connected.
// Rejects when the port is in use.
async function startFront({ port = 0, target, preconnection, delay = 0 }) {
  const pdus = [];
  const sockets = new Set();
  const server = net.createServer(async (client) => {
    sockets.add(client);
    client.on('error', () => {});
    client.on('close', () => sockets.delete(client));
    if (preconnection) {
      const start = await readPacket(client, () => preconnection.length).catch(() => null);
      if (start) pdus.push(start);
      if (!start?.equals(preconnection)) return client.destroy();
    }
    if (delay) await new Promise((resolve) => setTimeout(resolve, delay));
    if (client.destroyed) return;
    const backend = net.connect(target, '127.0.0.1');
    sockets.add(backend);
    backend.on('error', () => client.destroy());
    backend.on('close', () => sockets.delete(backend));
    client.on('close', () => backend.destroy());
    client.pipe(backend).pipe(client);
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return {
    port: server.address().port,
    pdus,
    close: () => {
      for (const socket of sockets) socket.destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

test('the page, from a loopback origin: the client connects through the gateway to xrdp and draws its login screen',
  options, (t) => withEvidence(t, async () => {
    const start = Date.now();
    await openPage(browser, loopbackPage());
    const loaded = Date.now();
    const id = (firstSession = gateway.nextId());
    const result = await connect(browser, { destination: `127.0.0.1:${xrdp.port}`, size: '800x600' });
    assert.equal(result.state, 'connected', result.text);
    assert.equal(result.text, `Connected to 127.0.0.1:${xrdp.port} (800×600).`);
    const connected = Date.now();

    const drawn = await waitForPicture(browser);
    assert.deepEqual([drawn.width, drawn.height], [800, 600]);
    const painted = Date.now();
    const entry = await gateway.entry(id);
    assert.equal(entry?.state, 'forwarding', JSON.stringify(entry));
    assert.equal(entry.tlsReady, true);
    assert.equal(entry.rdpPort, xrdp.port);
    assert.equal(accepted(), 1);

    const s = (ms) => `${(ms / 1000).toFixed(1)} s`;
    t.diagnostic(`Chromium ${browser.version}: page and WebAssembly ready in ${s(loaded - start)}, connected after ` +
      `${s(connected - loaded)}, login screen after ${s(painted - loaded)} (${drawn.width}x${drawn.height})`);
  }));

// Leaving the page, Chromium sends a Close frame and resets the connection as
// soon as the gateway's answering Close arrives: still a normal end.
test('leaving the page ends the connection without a diagnostic line', options, async () => {
  assert.ok(firstSession, 'the first test left no session');
  await browser.page.goto('about:blank');
  assert.deepEqual(await gateway.linesOf(firstSession), []);
});

test('a destination that refuses connections: the page says so in words, with HTTP 500 and WSA 10061',
  options, (t) => withEvidence(t, async () => {
    await openPage(browser, loopbackPage());
    const id = gateway.nextId();
    const result = await connect(browser, { destination: `127.0.0.1:${await freePort()}` });
    assert.equal(result.state, 'failed', result.text);
    const [kind, status, socket, message, ...rest] = result.text.split('\n');
    assert.equal(kind, 'The gateway could not connect to the server.');
    assert.equal(status, 'HTTP 500: the gateway could not reach or talk to the server.');
    assert.equal(socket, 'Connecting to the server: connection refused (nothing listens there) (Windows Sockets error 10061).');
    assert.match(message, /^The client's message: .*general error \(code 1\); HTTP 500/);
    assert.deepEqual(rest, []);
    assert.match((await gateway.linesOf(id))[0], /连接 RDP 服务器失败: Connection refused$/);
    // The form is usable again.
    assert.equal(await browser.page.textContent('#connect-button'), 'Connect');
    assert.equal(await browser.page.isEnabled('#destination'), true);
  }));

// A server that takes its time: the user gave up first, so the session that
// comes later is shut down at once and not shown.
test('Disconnect while connecting: the page is ready again, and the session that comes later ends at once', options,
  (t) => withEvidence(t, async () => {
    const front = await startFront({ target: xrdp.port, delay: 1500 });
    try {
      await openPage(browser, loopbackPage());
      const id = gateway.nextId();
      await browser.page.fill('#destination', `127.0.0.1:${front.port}`);
      await browser.page.click('#connect-button');
      await outcome(browser, ['connecting']);
      await browser.page.click('#connect-button');
      assert.deepEqual(await outcome(browser, ['ended']), { state: 'ended', text: 'Disconnected.' });
      assert.equal(await browser.page.textContent('#connect-button'), 'Connect');
      // Through the gateway to xrdp, then shut down by the page.
      await waitFor(async () => (await gateway.entry(id))?.state === 'forwarding' || !(await gateway.entry(id)),
        { what: `${id} to reach xrdp`, timeout: 15000 });
      assert.deepEqual(await gateway.linesOf(id), []);
      assert.equal(await browser.page.getAttribute('#status', 'data-state'), 'ended');
      assert.equal(await browser.page.locator('#session iron-remote-desktop').count(), 0);
      assert.deepEqual(browser.consoleLines.filter((line) => line.startsWith('[pageerror]')), []);
    } finally {
      await front.close();
    }
  }));

// As users type a computer name: no full stop, no port. `localhost` with the
// default port, 3389, where a front relays to xrdp, when that port is free.
test('a computer name alone: the client reaches xrdp as localhost, port 3389', options, (t) =>
  withEvidence(t, async () => {
    let front;
    try {
      front = await startFront({ port: 3389, target: xrdp.port });
    } catch (error) {
      if (error.code !== 'EADDRINUSE') throw error;
      t.skip('127.0.0.1:3389 is in use');
      return;
    }
    try {
      const before = accepted();
      await openPage(browser, loopbackPage());
      const id = gateway.nextId();
      const result = await connect(browser, { destination: 'localhost' });
      assert.equal(result.state, 'connected', result.text);
      const entry = await gateway.entry(id);
      assert.deepEqual([entry?.state, entry?.rdpHost, entry?.rdpPort], ['forwarding', 'localhost', 3389]);
      assert.equal(accepted(), before + 1);
      await browser.page.goto('about:blank');
      assert.deepEqual(await gateway.linesOf(id), []);
    } finally {
      await front.close();
    }
  }));

// As for a Hyper-V virtual machine or a broker: the server wants the blob,
// as a pre-connection PDU, before the X.224 request.
test('the pre-connection blob: the server sees its PDU first; the client draws xrdp\'s login screen', options, (t) =>
  withEvidence(t, async () => {
    const blob = '6C3B2A5E-0D44-4E53-9C38-2A1F0E7B9D11;vm-\u00e4\u20ac\u{1f600}';
    const front = await startFront({ target: xrdp.port, preconnection: preconnectionPdu(blob) });
    try {
      await openPage(browser, loopbackPage());
      const id = gateway.nextId();
      const result = await connect(browser, { destination: `127.0.0.1:${front.port}`, pcb: blob, ...TLS_ONLY });
      assert.equal(result.state, 'connected', result.text);
      assert.deepEqual(front.pdus, [preconnectionPdu(blob)]);
      await waitForPicture(browser);
      await browser.page.goto('about:blank');
      assert.deepEqual(await gateway.linesOf(id), []);
    } finally {
      await front.close();
    }
  }));

test('a server that requires Network Level Authentication, asked for TLS alone: the page shows the negotiation failure',
  options, (t) => withEvidence(t, async () => {
    const server = await startRdpServer({ x224Reply: (socket) => (socket.end(X224_NEG_FAILURE), false) });
    try {
      await openPage(browser, loopbackPage());
      const id = gateway.nextId();
      const result = await connect(browser, { destination: `127.0.0.1:${server.port}`, ...TLS_ONLY });
      assert.equal(result.state, 'failed', result.text);
      assert.deepEqual(result.text.split('\n'), ['The server refused the security protocols the client offered.',
        'If it requires Network Level Authentication, choose that under Authentication.',
        'The client\'s message: RDP negotiation failed: server requires Enhanced RDP Security with CredSSP']);
      assert.deepEqual(await gateway.linesOf(id), [`[${id}] RDP 协商失败: HYBRID_REQUIRED_BY_SERVER (failureCode 5)`]);
    } finally {
      await server.close();
    }
  }));

test('the page under a non-loopback host name: the handshake is refused, the page says so, nothing reaches xrdp',
  options, (t) => withEvidence(t, async () => {
    const before = accepted();
    const origin = `http://${FOREIGN_HOST}:${pageServer.port}`;
    await openPage(browser, `${origin}/`);
    const id = gateway.nextId();
    const result = await connect(browser, { destination: `127.0.0.1:${xrdp.port}` });
    assert.equal(result.state, 'failed', result.text);
    assert.match(result.text, /^The page could not reach the gateway: it is not running, or it refused this page/);
    assert.ok(browser.consoleLines.some((line) => line.includes('Unexpected response code: 403')),
      browser.consoleLines.join('\n'));
    assert.deepEqual(await gateway.linesOf(id), [`[${id}] 连接处理失败: WebSocket 握手失败: origin not allowed: ${origin}`]);
    // One handshake, not retried.
    assert.equal((await gateway.report()).status.totalConnections, Number(id.slice(4)));
    assert.equal(accepted(), before);
  }));

test('a loopback page reaches a KDC through the KDC proxy; the page under a foreign name is refused', options, (t) =>
  withEvidence(t, async () => {
    const url = `http://127.0.0.1:${gateway.port}/KdcProxy/127.0.0.1:${kdc.port}`;
    const body = kdcProxyMessage({ kerbMessage: RECORDED.asReq, realm: 'QUILLGATE.TEST' });
    await openPage(browser, loopbackPage());
    const id = gateway.nextId();
    const answer = await fetchKdc(browser, url, body);
    assert.equal(answer.status, 200, JSON.stringify(answer));
    assert.equal(answer.type, 'application/kerberos');
    assert.deepEqual(kerbMessageOf(answer.body), RECORDED.preauthRequired);
    assert.deepEqual(kdc.requests, [RECORDED.asReq]);
    assert.deepEqual(await gateway.linesOf(id), []);

    // Sent (a POST without a content type needs no preflight), refused
    // before any KDC is contacted, and unreadable by the page.
    const origin = `http://${FOREIGN_HOST}:${pageServer.port}`;
    await openPage(browser, `${origin}/`);
    const refusedId = gateway.nextId();
    const refused = await fetchKdc(browser, url, body);
    assert.match(refused.error ?? '', /TypeError/, JSON.stringify(refused));
    assert.deepEqual(await gateway.linesOf(refusedId), [`[${refusedId}] KDC 代理请求被拒绝: origin not allowed: ${origin}`]);
    assert.equal(kdc.requests.length, 1);
    // One connection per fetch: no preflight.
    assert.equal((await gateway.report()).status.totalConnections, Number(refusedId.slice(4)));
  }));

// As a Windows server does by default: CredSSP checks the user name and
// password typed into the page before the session starts.
test('Network Level Authentication: the right password draws the shadowed desktop, Disconnect ends the session; ' +
  'a wrong one shows an error in the page', options, (t) => withEvidence(t, async () => {
  await openPage(browser, loopbackPage());
  const id = gateway.nextId();
  const destination = `127.0.0.1:${shadow.port}`;
  const result = await connect(browser, { destination, username: USER, password: PASSWORD, nla: 'on' });
  assert.equal(result.state, 'connected', result.text);
  // Most of the canvas in the colour of the window on the server's screen.
  await waitForPicture(browser, { rgb: freerdp.DESKTOP, enough: (c) => c.near > c.width * c.height / 2 });
  assert.equal((await gateway.entry(id))?.state, 'forwarding');
  await browser.page.click('#connect-button');
  assert.deepEqual(await outcome(browser, ['ended']), { state: 'ended', text: 'Disconnected.' });
  assert.equal(await browser.page.locator('#session iron-remote-desktop').count(), 0);
  assert.deepEqual(await gateway.linesOf(id), []);

  // The server's NTLM check fails on the response computed from the password.
  const refusals = () => (shadow.log().match(/Message Integrity Check \(MIC\) verification failed/g) ?? []).length;
  assert.equal(refusals(), 0);
  const wrongId = gateway.nextId();
  const wrong = await connect(browser, { password: `${PASSWORD}!` });
  assert.equal(wrong.state, 'failed', wrong.text);
  assert.deepEqual(wrong.text.split('\n').slice(0, 2), ['The connection failed.',
    'Some servers simply close the connection when the user name, password or domain is wrong.']);
  assert.match(wrong.text.split('\n')[2], /^The client's message: ./);
  assert.equal(refusals(), 1);
  assert.deepEqual(await gateway.linesOf(wrongId), []);
}));

// The README's web client and the page half of its Electron example, as
// written but for the server and credentials: served from 127.0.0.1 (a page
// from disk would send Origin: null in Chromium, where Electron sends
// file://) beside the packages, with window.quillgate as the preload script
// defines it. Its Content-Security-Policy must let the client run.
test('the README\'s Electron renderer (index.html, renderer.js) with its desktop.js draws the shadowed desktop',
  options, (t) => withEvidence(t, async () => {
    const files = readmeFiles();
    const seenBefore = browser.consoleLines.length;  // the earlier tests' lines are theirs
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-readme-'));
    t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
    let renderer = files['renderer.js'];
    for (const [written, value] of [['rdp01.corp.example', `127.0.0.1:${shadow.port}`], ['alice', USER], ['secret', PASSWORD]]) {
      assert.equal(renderer.split(`'${written}'`).length, 2, `renderer.js names '${written}' once`);
      renderer = renderer.replace(`'${written}'`, JSON.stringify(value));
    }
    for (const name of ['index.html', 'desktop.js']) fs.writeFileSync(path.join(dir, name), files[name]);
    fs.writeFileSync(path.join(dir, 'renderer.js'), renderer);
    fs.symlinkSync(path.join(__dirname, '..', '..', 'node_modules'), path.join(dir, 'node_modules'));
    const server = http.createServer((req, res) => {
      const file = path.join(dir, path.normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)));
      fs.readFile(file, (error, body) => {
        if (error) return res.writeHead(404).end();
        // no-store: a page left for another stays out of the back-forward
        // cache, which would keep its session open.
        res.writeHead(200, { 'content-type': file.endsWith('.html') ? 'text/html' : 'text/javascript',
          'cache-control': 'no-store' }).end(body);
      });
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    t.after(() => new Promise((resolve) => (server.closeAllConnections(), server.close(resolve))));

    await browser.page.addInitScript((port) => {
      window.quillgate = { port: async () => port };
    }, gateway.port);
    const id = gateway.nextId();
    await browser.page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    await waitForPicture(browser, { rgb: freerdp.DESKTOP, enough: (c) => c.near > c.width * c.height / 2 });
    assert.equal((await gateway.entry(id))?.state, 'forwarding');
    assert.deepEqual(browser.consoleLines.slice(seenBefore).filter((line) => /Content Security Policy|pageerror/.test(line)), []);
    await browser.page.goto('about:blank');
    assert.deepEqual(await gateway.linesOf(id), []);
  }));
