'use strict';

// IronRDP's web client in Debian's Chromium, headless: a static page served
// from 127.0.0.1 loads the web component and its RDP backend, and the test
// drives it through the DevTools protocol (playwright-core, attached to a
// browser this module starts and stops by its process id).
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const CHROMIUM = '/usr/bin/chromium';
const MODULES = ['playwright-core', '@devolutions/iron-remote-desktop', '@devolutions/iron-remote-desktop-rdp'];

// What is missing to run the client in a browser here.
function missing() {
  const absent = MODULES.filter((name) => {
    try {
      return !require.resolve(name);
    } catch {
      return true;
    }
  });
  return fs.existsSync(CHROMIUM) ? absent : ['chromium', ...absent];
}

// Rejects when `promise` has not settled within `ms`.
function bounded(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms waiting for ${what}`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

const PAGE = `<!doctype html>
<meta charset="utf-8">
<title>quillgate</title>
<link rel="icon" href="data:,">
<style>html, body { margin: 0; overflow: hidden; background: #fff; } iron-remote-desktop { display: block; width: 800px; height: 600px; }</style>
<script type="module">
import * as rdp from './iron-remote-desktop-rdp.js';
import './iron-remote-desktop.js';

const element = document.createElement('iron-remote-desktop');
// Set before the element joins the page: the component reads it when it starts.
element.module = rdp.Backend;
const ready = new Promise((resolve) => element.addEventListener('ready', (e) => resolve(e.detail.irgUserInteraction)));
await rdp.init('INFO');
document.body.append(element);
const ui = await ready;
ui.setVisibility(true);

// The client's errors are objects with kind(), backtrace() and rdcleanpathDetails().
function describe(error) {
  if (error && typeof error.kind === 'function') {
    const details = error.rdcleanpathDetails?.();
    return { kind: error.kind(), backtrace: error.backtrace(), httpStatus: details?.httpStatusCode,
      wsaErrorCode: details?.wsaErrorCode, tlsAlertCode: details?.tlsAlertCode };
  }
  return { kind: -1, backtrace: String(error?.stack ?? error) };
}

window.quillgate = {
  // Resolves once the client reports the session connected, or with its
  // error. preConnectionBlob: the text for the client extension of that name.
  async connect(proxyAddress, destination, { preConnectionBlob } = {}) {
    let builder = ui.configBuilder()
      .withProxyAddress(proxyAddress)
      .withDestination(destination)
      .withAuthToken('not-checked')
      .withDesktopSize({ width: 800, height: 600 });
    if (preConnectionBlob !== undefined) builder = builder.withExtension(rdp.preConnectionBlob(preConnectionBlob));
    const config = builder.build();
    try {
      const session = await ui.connect(config);
      session.run().then((info) => console.info('session ended: ' + info.reason()),
        (error) => console.error('session failed: ' + JSON.stringify(describe(error))));
      return { connected: true };
    } catch (error) {
      return { error: describe(error) };
    }
  },
  // POSTs the bytes (hex) to a KDC proxy as IronRDP's network client does:
  // no content type, and a keep-alive header, which Chromium drops. Resolves
  // with the answer's status, type and bytes (hex), or the fetch's error.
  async fetchKdc(url, hex) {
    const body = new Uint8Array(hex.match(/../g).map((h) => parseInt(h, 16)));
    try {
      const response = await fetch(url, { method: 'POST', body, headers: { 'keep-alive': 'true' } });
      const bytes = new Uint8Array(await response.arrayBuffer());
      return { status: response.status, type: response.headers.get('content-type'),
        body: Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('') };
    } catch (error) {
      return { error: String(error) };
    }
  },
  // Pixels drawn so far: how many are not black, and how many colours.
  pixels() {
    const canvas = element.shadowRoot.querySelector('canvas');
    const copy = document.createElement('canvas');
    copy.width = canvas.width;
    copy.height = canvas.height;
    const context = copy.getContext('2d');
    context.drawImage(canvas, 0, 0);
    const data = context.getImageData(0, 0, copy.width, copy.height).data;
    let drawn = 0;
    const colours = new Set();
    for (let i = 0; i < data.length; i += 4) {
      if (data[i] || data[i + 1] || data[i + 2]) drawn++;
      if (colours.size < 64) colours.add((data[i] << 16) | (data[i + 1] << 8) | data[i + 2]);
    }
    return { width: canvas.width, height: canvas.height, drawn, colours: colours.size };
  },
};
</script>
`;

// Serves the page and the two client modules from 127.0.0.1 on a port the
// system picks.
async function startPageServer() {
  const files = {
    '/': { body: PAGE, type: 'text/html; charset=utf-8' },
    '/iron-remote-desktop.js': { file: require.resolve('@devolutions/iron-remote-desktop') },
    '/iron-remote-desktop-rdp.js': { file: require.resolve('@devolutions/iron-remote-desktop-rdp') },
  };
  const server = http.createServer((req, res) => {
    const entry = files[new URL(req.url, 'http://x').pathname];
    if (!entry || req.method !== 'GET') {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': entry.type ?? 'text/javascript; charset=utf-8', 'cache-control': 'no-store' });
    res.end(entry.body ?? fs.readFileSync(entry.file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    close: () => new Promise((resolve) => {
      server.closeAllConnections();
      server.close(resolve);
    }),
  };
}

// Starts Chromium with a fresh profile and attaches to it. `hostRules` maps
// host names (Chromium's --host-resolver-rules syntax).
async function startBrowser({ hostRules } = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-chromium-'));
  const args = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--user-data-dir=${profile}`, '--remote-debugging-port=0'];
  if (hostRules) args.push(`--host-resolver-rules=${hostRules}`);
  // A process group of its own, so that stopping it ends its helpers too.
  const child = spawn(CHROMIUM, [...args, 'about:blank'], { stdio: ['ignore', 'ignore', 'pipe'], detached: true });
  let stderr = '';
  // 'close' comes also when the program could not be started at all.
  const exited = new Promise((resolve) => child.once('close', resolve));
  child.on('error', () => {});
  // False once the whole group has ended.
  const signal = (name) => {
    try {
      return process.kill(-child.pid, name);
    } catch {
      return false;
    }
  };
  const stop = async () => {
    signal('SIGTERM');
    const timer = setTimeout(() => signal('SIGKILL'), 5000);
    await exited;
    for (let i = 0; i < 100 && signal(0); i++) await new Promise((resolve) => setTimeout(resolve, 50));
    clearTimeout(timer);
    fs.rmSync(profile, { recursive: true, force: true });
  };
  try {
    const endpoint = await bounded(new Promise((resolve, reject) => {
      child.stderr.on('data', (d) => {
        stderr += d;
        const match = /DevTools listening on (ws:\/\/\S+)/.exec(stderr);
        if (match) resolve(match[1]);
      });
      child.once('exit', (code) => reject(new Error(`chromium exited with ${code}: ${stderr}`)));
      child.once('error', reject);
    }), 30000, 'Chromium to start');
    const { chromium } = require('playwright-core');
    const browser = await chromium.connectOverCDP(endpoint, { timeout: 30000 });
    const page = await browser.contexts()[0].newPage();
    page.setDefaultTimeout(30000);
    await page.setViewportSize({ width: 800, height: 600 });
    const consoleLines = [];
    page.on('console', (m) => consoleLines.push(`[${m.type()}] ${m.text()}`));
    page.on('pageerror', (e) => consoleLines.push(`[pageerror] ${e.stack ?? e}`));
    return {
      page,
      version: browser.version(),
      consoleLines,
      // Keeps a screenshot, the console log and `files` ({ name: text });
      // returns the folder.
      async keepEvidence(name, files = {}) {
        const slug = name.replace(/\W+/g, '-').slice(0, 40);
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), `quillgate-browser-${slug}-`));
        await bounded(page.screenshot({ path: path.join(dir, 'screenshot.png') }), 10000, 'a screenshot')
          .catch((e) => consoleLines.push(`[harness] no screenshot: ${e.message}`));
        fs.writeFileSync(path.join(dir, 'console.log'), `${consoleLines.join('\n')}\n\nChromium's standard error:\n${stderr}`);
        for (const [file, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, file), text);
        return dir;
      },
      async stop() {
        await bounded(browser.close(), 5000, 'the DevTools connection to close').catch(() => {});
        await stop();
      },
      // For a process that is going down on a signal: no waiting.
      kill() {
        signal('SIGKILL');
        fs.rmSync(profile, { recursive: true, force: true });
      },
    };
  } catch (error) {
    await stop();
    throw error;
  }
}

// Loads the page from `origin` and waits until the client module is ready.
async function openClient(browser, origin) {
  await browser.page.goto(`${origin}/`);
  await browser.page.waitForFunction(() => window.quillgate !== undefined, null, { timeout: 30000 });
}

// Waits until the canvas shows a picture: a quarter of it drawn, in at least
// 16 colours (connected can come before the first graphics update).
async function waitForPicture(browser, timeout = 20000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const canvas = await bounded(browser.page.evaluate(() => window.quillgate.pixels()), 10000, 'the canvas');
    if (canvas.drawn > canvas.width * canvas.height / 4 && canvas.colours >= 16) return canvas;
    if (Date.now() > deadline) throw new Error(`no picture on the canvas after ${timeout} ms: ${JSON.stringify(canvas)}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// Has the page POST `body` to the KDC proxy at `url` (see fetchKdc above).
function fetchKdc(browser, url, body, timeout = 30000) {
  return bounded(browser.page.evaluate(([u, b]) => window.quillgate.fetchKdc(u, b), [url, body.toString('hex')]),
    timeout, 'the KDC proxy\'s answer');
}

// Connects the page's client; resolves with { connected } or { error }.
// `options` as for the page's connect().
function connect(browser, proxyAddress, destination, { timeout = 30000, ...options } = {}) {
  return bounded(browser.page.evaluate(([p, d, o]) => window.quillgate.connect(p, d, o), [proxyAddress, destination, options]),
    timeout, 'the client to connect or fail');
}

module.exports = { missing, bounded, startPageServer, startBrowser, openClient, connect, fetchKdc, waitForPicture };
