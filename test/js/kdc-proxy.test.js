'use strict';

// The KDC proxy on the gateway's port: KDC-PROXY-MESSAGEs POSTed over raw
// HTTP/1.1 and relayed to a stand-in KDC, the requests it refuses, its time
// limits and stop; a WebSocket session opened first relays through all of it.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const net = require('node:net');
const { Gateway } = require('./support/gateway');
const { startRdpServer } = require('./support/rdp-server');
const { request } = require('./support/der');
const { framed, kdcProxyMessage, kerbMessageOf, startKdc, openRequest } = require('./support/kdc');
const { waitFor, connectRaw } = require('./helpers');

// What the stand-in KDC does is chosen by the Kerberos message's text.
let release;
const held = new Promise((resolve) => (release = resolve));
function kdcBehaviour(message, socket) {
  const text = message.subarray(4).toString('latin1');
  if (text === 'silent') return undefined;
  if (text === 'hold') return void held.then(() => socket.end(framed(Buffer.from('released'))));
  if (text === 'close') return void socket.end();
  if (text === 'short') return Buffer.concat([framed(Buffer.alloc(100)).subarray(0, 14)]);
  if (text === 'long') return framed(Buffer.alloc(65537));
  if (text === 'reserved bit') return Buffer.from('8000000100', 'hex');
  return framed(Buffer.concat([Buffer.from('reply to '), message.subarray(4)]));
}

let gateway;
let kdc;
let echo;
let healthy;
test.before(async () => {
  gateway = await Gateway.start();
  kdc = await startKdc(kdcBehaviour);
  echo = await startRdpServer();
  healthy = await gateway.open();
  healthy.ws.send(request({ destination: `127.0.0.1:${echo.port}` }));
  await waitFor(() => healthy.ws.messages.length === 1);
});
test.after(async () => {
  // No KDC request touched the WebSocket session: it still relays intact.
  const payload = crypto.randomBytes(256 * 1024);
  const before = healthy.ws.messages.length;
  healthy.ws.send(payload);
  await waitFor(() => healthy.ws.messages.slice(before).reduce((n, m) => n + m.data.length, 0) === payload.length);
  assert.ok(Buffer.concat(healthy.ws.messages.slice(before).map((m) => m.data)).equals(payload));
  healthy.ws.close();
  assert.deepEqual(await gateway.linesOf(healthy.id), []);
  assert.equal(gateway.stdout, '', 'nothing on standard output');
  release();
  await echo.close();
  await kdc.close();
  await gateway.stop();
});

const kdcPath = () => `/KdcProxy/127.0.0.1:${kdc.port}`;
const message = (text, options = {}) => kdcProxyMessage({ kerbMessage: framed(Buffer.from(text)), ...options });
// A POST as MIT's client sends it (IronRDP's sends no Content-Type).
const postHead = (path, body, extra = '') => `POST ${path} HTTP/1.1\nHost: 127.0.0.1\n` +
  `Content-Type: application/kerberos\nContent-Length: ${body.length}${extra && `\n${extra}`}`;

// One request on a connection of its own: its id, socket and answer.
async function send(head, body, options) {
  const id = gateway.nextId();
  return { id, ...(await openRequest(gateway.port, head, body, options)) };
}

async function post(path, body, extra) {
  return send(postHead(path, body, extra), body);
}

// The answer has `status` and the connection wrote one line matching `line`
// (none for null).
async function expectAnswer({ id, answer }, status, line) {
  const got = await answer;
  assert.equal(got.status, status, `${id}: ${got.raw.toString('latin1').split('\r\n')[0]}`);
  assert.equal(got.headers.connection, 'close');
  const lines = await gateway.linesOf(id);
  if (line === null) assert.deepEqual(lines, []);
  else {
    assert.equal(lines.length, 1, lines.join('\n'));
    assert.match(lines[0], line);
  }
  return got;
}

test('a KDC-PROXY-MESSAGE reaches the KDC the URL names, whose answer comes back with its length', async () => {
  const before = kdc.requests.length;
  for (const path of [kdcPath(), `/KdcProxy/127.0.0.1%3a${kdc.port}?ignored`, `/KdcProxy/localhost:${kdc.port}`]) {
    const body = message('AS-REQ', { realm: 'EXAMPLE.TEST', hint: 0 });
    const got = await expectAnswer(await post(path, body), 200, null);
    assert.equal(got.headers['content-type'], 'application/kerberos');
    assert.equal(Number(got.headers['content-length']), got.body.length);
    assert.deepEqual(kerbMessageOf(got.body), framed(Buffer.from('reply to AS-REQ')));
    assert.deepEqual(kdc.requests.at(-1), framed(Buffer.from('AS-REQ')), path);
  }
  assert.equal(kdc.requests.length, before + 3);

  // Listed while it lasts, as a connection with the KDC in rdpHost and rdpPort.
  const waiting = await post(kdcPath(), message('hold'));
  await waitFor(async () => (await gateway.entry(waiting.id))?.tcpConnected, { what: 'the KDC connection' });
  const entry = await gateway.entry(waiting.id);
  assert.deepEqual([entry.state, entry.rdpHost, entry.rdpPort, entry.tlsReady], ['handshaking', '127.0.0.1', kdc.port, false]);
  release();
  assert.deepEqual(kerbMessageOf((await expectAnswer(waiting, 200, null)).body), framed(Buffer.from('released')));

  // Expect: 100-continue is answered before the body is sent.
  const body = message('continued');
  const continued = await send(postHead(kdcPath(), body, 'Expect: 100-continue'), body, {
    writes: (socket, bytes) => {
      socket.write(bytes.subarray(0, bytes.length - body.length));
      socket.once('data', () => socket.write(body));
    },
  });
  const answered = await expectAnswer(continued, 200, null);
  assert.deepEqual(answered.informational, [100]);
  assert.equal(kerbMessageOf(answered.body).subarray(4).toString(), 'reply to continued');
});

test('without a KDC in the URL the realm is the KDC host, port 88; without either, 400', async () => {
  await expectAnswer(await post('/KdcProxy', message('AS-REQ', { realm: 'no-such-realm.invalid' })), 502,
    /^\[rdp-\d+\] 连接 KDC 失败: no-such-realm\.invalid:88: .+$/);
  await expectAnswer(await post('/KdcProxy/', message('AS-REQ')), 400,
    /^\[rdp-\d+\] KDC 地址无效: no KDC in the URL and no target-domain in the message$/);
  await expectAnswer(await post('/KdcProxy', message('AS-REQ', { realm: 'EVIL/..\x1b' })), 400,
    /^\[rdp-\d+\] KDC 地址无效: target-domain is not a host name: EVIL\/\.\.\\x1b$/);
});

test('web pages: an allowed one gets CORS headers on every answer, another site\'s is refused with 403', async () => {
  const origin = 'http://localhost:5173';
  const cors = (got) => [got.headers['access-control-allow-origin'], got.headers.vary];
  const allowed = await expectAnswer(await post(kdcPath(), message('AS-REQ'), `Origin: ${origin}`), 200, null);
  assert.deepEqual(cors(allowed), [origin, 'Origin']);
  const malformed = await expectAnswer(await post(kdcPath(), Buffer.from('not DER'), `Origin: ${origin}`), 400, /解析失败/);
  assert.deepEqual(cors(malformed), [origin, 'Origin']);

  const preflight = await expectAnswer(await send(`OPTIONS ${kdcPath()} HTTP/1.1\nHost: 127.0.0.1\nOrigin: ${origin}\n` +
    'Access-Control-Request-Method: POST\nAccess-Control-Request-Headers: content-type'), 204, null);
  assert.deepEqual(cors(preflight), [origin, 'Origin']);
  assert.equal(preflight.headers['access-control-allow-methods'], 'POST');
  assert.equal(preflight.headers['access-control-allow-headers'], 'content-type');
  assert.equal(preflight.headers['content-length'], undefined);

  const before = await kdc.accepted();
  for (const foreign of ['https://evil.example', 'null', 'http://192.168.1.10:8080']) {
    for (const sent of [await post(kdcPath(), message('AS-REQ'), `Origin: ${foreign}`),
      await send(`OPTIONS ${kdcPath()} HTTP/1.1\nOrigin: ${foreign}\nAccess-Control-Request-Method: POST`)]) {
      const got = await expectAnswer(sent, 403, new RegExp(`^\\[rdp-\\d+\\] KDC 代理请求被拒绝: origin not allowed: ${foreign.replaceAll('.', '\\.')}$`));
      assert.equal(got.headers['access-control-allow-origin'], undefined);
    }
  }
  assert.equal(await kdc.accepted(), before, 'no KDC contacted');
});

test('requests it does not serve get a clear status and one line each, and reach no KDC', async () => {
  const body = message('AS-REQ');
  const path = kdcPath();
  const cases = [
    ['GET, as an upgrade', `GET ${path} HTTP/1.1\nUpgrade: websocket\nConnection: Upgrade`, '', 405, /method not allowed: GET$/],
    ['PUT', `PUT ${path} HTTP/1.1\nContent-Length: 0`, '', 405, /method not allowed: PUT$/],
    ['HEAD', `HEAD ${path} HTTP/1.1`, '', 405, /method not allowed: HEAD$/],
    ['a chunked body', `POST ${path} HTTP/1.1\nTransfer-Encoding: chunked`, '5\r\nhello\r\n0\r\n\r\n', 411, /Transfer-Encoding is not supported$/],
    ['Content-Length then Transfer-Encoding', `POST ${path} HTTP/1.1\nContent-Length: 5\nTransfer-Encoding: chunked`, 'hello', 400, /读取 KDC 代理请求失败: /],
    ['Transfer-Encoding then Content-Length', `POST ${path} HTTP/1.1\nTransfer-Encoding: gzip\nContent-Length: 5`, 'hello', 411, /Transfer-Encoding is not supported$/],
    ['two Content-Lengths', `POST ${path} HTTP/1.1\nContent-Length: 5\nContent-Length: 6`, 'hello', 400, /读取 KDC 代理请求失败: /],
    ['no Content-Length', `POST ${path} HTTP/1.1`, '', 411, /no Content-Length$/],
    ['a body of 64 KiB + 1', `POST ${path} HTTP/1.1\nContent-Length: 65537`, Buffer.alloc(65537), 413, /body of 65537 bytes exceeds 65536$/],
    ['an announced body of 10 GB', `POST ${path} HTTP/1.1\nContent-Length: 10000000000`, 'abc', 413, /读取 KDC 代理请求失败: /],
    ['a head over 8 KiB', `POST ${path} HTTP/1.1\nX-Padding: ${'p'.repeat(9000)}\nContent-Length: ${body.length}`, body, 431, /读取 KDC 代理请求失败: /],
    ['a body that is not DER', postHead(path, 'hello'), 'hello', 400, /KDC-PROXY-MESSAGE 解析失败: not a DER SEQUENCE$/],
    ['a length prefix that does not match', postHead(path, kdcProxyMessage({ kerbMessage: Buffer.from('0000000561', 'hex') })),
      kdcProxyMessage({ kerbMessage: Buffer.from('0000000561', 'hex') }), 400, /length prefix 5 does not match its 1 bytes$/],
    ['a port beyond 65535', postHead('/KdcProxy/dc01:65536', body), body, 400, /KDC 地址无效: .*dc01:65536$/],
    ['a decoded control character', postHead('/KdcProxy/dc01%0d%0aX:%201', body), body, 400, /KDC 地址无效: .*dc01\\x0d\\x0aX: 1$/],
  ];
  const before = await kdc.accepted();
  for (const [name, head, sent, status, line] of cases) {
    await t_step(name, async () => {
      const got = await expectAnswer(await send(head, Buffer.from(sent)), status, line);
      if (status === 405) assert.equal(got.headers.allow, 'POST, OPTIONS');
      if (head.startsWith('HEAD')) assert.equal(got.body.length, 0);
    });
  }
  assert.equal(await kdc.accepted(), before, 'no KDC contacted');

  // Only /KdcProxy and the paths below it: /KdcProxyX is an upgrade like any other.
  const ws = await send(`GET /KdcProxyX HTTP/1.1\nHost: x\nUpgrade: websocket\nConnection: Upgrade\n` +
    `Sec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\nSec-WebSocket-Version: 13`);
  await waitFor(() => ws.socket.bytesRead > 0, { what: 'the upgrade answer' });
  ws.socket.destroy();
  assert.deepEqual((await ws.answer).informational, [101]);
  await gateway.linesOf(ws.id);
});

// Names the failing case in the assertion message.
async function t_step(name, body) {
  try {
    await body();
  } catch (error) {
    error.message = `${name}: ${error.message}`;
    throw error;
  }
}

test('a KDC that refuses, closes, cuts its answer short or sends too much: 502', async () => {
  const closed = net.createServer();
  await new Promise((resolve) => closed.listen(0, '127.0.0.1', resolve));
  const refusedPort = closed.address().port;
  await new Promise((resolve) => closed.close(resolve));
  const where = `127\\.0\\.0\\.1:${kdc.port}`;
  await expectAnswer(await post(`/KdcProxy/127.0.0.1:${refusedPort}`, message('AS-REQ')), 502,
    new RegExp(`^\\[rdp-\\d+\\] 连接 KDC 失败: 127\\.0\\.0\\.1:${refusedPort}: Connection refused$`));
  for (const [text, line] of [
    ['close', new RegExp(`^\\[rdp-\\d+\\] 读取 KDC 响应失败: ${where}: End of file$`)],
    ['short', new RegExp(`^\\[rdp-\\d+\\] 读取 KDC 响应失败: ${where}: End of file$`)],
    ['long', new RegExp(`^\\[rdp-\\d+\\] 读取 KDC 响应失败: ${where}: answer of 65537 bytes exceeds 65536$`)],
    ['reserved bit', new RegExp(`^\\[rdp-\\d+\\] 读取 KDC 响应失败: ${where}: answer of 2147483649 bytes exceeds 65536$`)],
  ]) {
    await t_step(text, async () => expectAnswer(await post(kdcPath(), message(text)), 502, line));
  }
});

test('time limits: 10 s for the request from the connection\'s start, 10 s for the KDC; none for an upgrade', { timeout: 30000 }, async () => {
  const started = Date.now();
  const body = message('AS-REQ');
  const head = postHead(kdcPath(), body);
  // Part of the request line, then nothing more; the request line and part
  // of the head, then nothing more.
  const cutLine = await send(head, body, { writes: (socket, bytes) => socket.write(bytes.subarray(0, 20)) });
  const slowHead = await send(head, body, {
    writes: (socket, bytes) => socket.write(bytes.subarray(0, bytes.indexOf('Content-Type'))),
  });
  // The whole head and part of the body.
  const slowBody = await send(head, body, { writes: (socket, bytes) => socket.write(bytes.subarray(0, bytes.length - 3)) });
  // Everything, a byte every 300 ms: each read is quick, the whole is not.
  const trickled = await send(head, body, {
    writes: (socket, bytes) => {
      let sent = 0;
      const timer = setInterval(() => (sent < bytes.length && !socket.destroyed ? socket.write(bytes.subarray(sent, ++sent)) : clearInterval(timer)), 300);
      socket.once('close', () => clearInterval(timer));
    },
  });
  // A request line cut before it names the KDC proxy, the rest coming after
  // the limit at once, or in pieces: the limit still holds.
  const late = (rest) => send(head, body, {
    writes: (socket, bytes) => {
      socket.write(bytes.subarray(0, 'POST /Kdc'.length));
      setTimeout(() => rest(socket, bytes.subarray('POST /Kdc'.length)), 11000);
    },
  });
  const lateLine = await late((socket, bytes) => !socket.destroyed && socket.write(bytes));
  const lateTrickle = await late((socket, bytes) => {
    let sent = 0;
    const timer = setInterval(() => (sent < bytes.length && !socket.destroyed ? socket.write(bytes.subarray(sent, sent += 8)) : clearInterval(timer)), 200);
    socket.once('close', () => clearInterval(timer));
  });
  const silent = await post(kdcPath(), message('silent'));
  // A client that connects and sends nothing keeps its connection, as before.
  const idle = await connectRaw(gateway.port);
  const idleId = gateway.nextId();

  for (const [sent, status, line] of [[cutLine, 408, /读取 KDC 代理请求超时$/], [slowHead, 408, /读取 KDC 代理请求超时$/],
    [slowBody, 408, /读取 KDC 代理请求超时$/],
    [trickled, 408, /读取 KDC 代理请求超时$/], [lateLine, 408, /读取 KDC 代理请求超时$/],
    [lateTrickle, 408, /读取 KDC 代理请求超时$/], [silent, 504, new RegExp(`KDC 响应超时: 127\\.0\\.0\\.1:${kdc.port}$`)]]) {
    await expectAnswer(sent, status, line);
    const waited = Date.now() - started;
    assert.ok(waited >= 9900 && waited < 15000, `${sent.id}: ${waited} ms`);
  }
  assert.equal((await gateway.entry(idleId))?.state, 'handshaking');
  idle.destroy();
  await gateway.linesOf(idleId);
});

test('stopProxy ends KDC requests in flight at once', async () => {
  const own = await Gateway.start();
  try {
    const body = message('silent');
    const id = own.nextId();
    const { answer } = await openRequest(own.port, postHead(kdcPath(), body), body);
    await waitFor(async () => (await own.entry(id))?.tcpConnected, { what: 'the KDC connection' });
    const stopping = Date.now();
    await own.stop();
    assert.ok(Date.now() - stopping < 5000);
    assert.equal((await answer).raw.length, 0, 'no answer');
  } catch (error) {
    own.child.kill('SIGKILL');
    throw error;
  }
});
