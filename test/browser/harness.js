'use strict';

// IronRDP's web client in Debian's Chromium, headless: the page of
// `quillgate --web` (web/, served by lib/web-server.js) loads the web
// component and its RDP backend, and the test fills in its form and reads
// what it shows through the DevTools protocol (playwright-core, attached to
// a browser this module starts and stops by its process id).
const fs = require('node:fs');
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

// Starts Chromium with a fresh profile and attaches to it. `hostRules` maps
// host names (Chromium's --host-resolver-rules syntax).
async function startBrowser({ hostRules, viewport = { width: 1100, height: 1000 } } = {}) {
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
    await page.setViewportSize(viewport);
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

// Loads the page at `url` and waits until its client module is ready.
async function openPage(browser, url) {
  await browser.page.goto(url);
  await browser.page.waitForSelector('form[data-ready="true"]', { state: 'attached', timeout: 30000 });
}

// Fills in the page's form with `fields` (by the inputs' names), clicks
// Connect and waits until the page shows the outcome; resolves with the
// state it shows ("connected", "failed") and its text.
async function connect(browser, fields, timeout = 30000) {
  const { page } = browser;
  await page.evaluate(() => document.querySelectorAll('#connect details').forEach((d) => (d.open = true)));
  for (const [name, value] of Object.entries(fields)) {
    const selector = `#connect [name="${name}"]`;
    if (await page.locator(selector).evaluate((e) => e.tagName) === 'SELECT') await page.selectOption(selector, value);
    else await page.fill(selector, value);
  }
  await page.click('#connect-button');
  return outcome(browser, ['connected', 'failed'], timeout);
}

// Waits until the page's status is one of `states`; resolves with { state, text }.
async function outcome(browser, states, timeout = 30000) {
  const handle = await bounded(browser.page.waitForFunction((wanted) => {
    const status = document.getElementById('status');
    return wanted.includes(status.dataset.state) && { state: status.dataset.state, text: status.textContent };
  }, states, { timeout }), timeout + 5000, `the page to show ${states.join(' or ')}`);
  return handle.jsonValue();
}

// The session's picture so far: how many pixels are not black, how many
// colours (up to 64), and how many are within 8 of `rgb` in each channel.
function pixels(browser, rgb = [0, 0, 0]) {
  return bounded(browser.page.evaluate((near) => {
    const canvas = document.querySelector("iron-remote-desktop")?.shadowRoot.querySelector('canvas');
    if (!canvas) return { width: 0, height: 0, drawn: 0, colours: 0, near: 0 };
    const copy = document.createElement('canvas');
    copy.width = canvas.width;
    copy.height = canvas.height;
    const context = copy.getContext('2d');
    context.drawImage(canvas, 0, 0);
    const data = context.getImageData(0, 0, copy.width, copy.height).data;
    let drawn = 0;
    let close = 0;
    const colours = new Set();
    for (let i = 0; i < data.length; i += 4) {
      if (data[i] || data[i + 1] || data[i + 2]) drawn++;
      if ([0, 1, 2].every((c) => Math.abs(data[i + c] - near[c]) <= 8)) close++;
      if (colours.size < 64) colours.add((data[i] << 16) | (data[i + 1] << 8) | data[i + 2]);
    }
    return { width: canvas.width, height: canvas.height, drawn, colours: colours.size, near: close };
  }, rgb), 10000, 'the canvas');
}

// Waits until the canvas shows a picture: by default a quarter of it drawn,
// in at least 16 colours (connected can come before the first graphics
// update); or what `enough` says of pixels(browser, rgb).
async function waitForPicture(browser, { timeout = 20000, rgb, enough } = {}) {
  enough ??= (c) => c.drawn > c.width * c.height / 4 && c.colours >= 16;
  const deadline = Date.now() + timeout;
  for (;;) {
    const canvas = await pixels(browser, rgb);
    if (canvas.width && enough(canvas)) return canvas;
    if (Date.now() > deadline) throw new Error(`no picture on the canvas after ${timeout} ms: ${JSON.stringify(canvas)}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// Has the page POST `body` to the KDC proxy at `url` as IronRDP's network
// client does: no content type, and a keep-alive header, which Chromium
// drops. Resolves with the answer's status, type and bytes, or the fetch's
// error.
async function fetchKdc(browser, url, body, timeout = 30000) {
  const answer = await bounded(browser.page.evaluate(async ([u, hex]) => {
    const bytes = new Uint8Array(hex.match(/../g).map((h) => parseInt(h, 16)));
    try {
      const response = await fetch(u, { method: 'POST', body: bytes, headers: { 'keep-alive': 'true' } });
      const reply = new Uint8Array(await response.arrayBuffer());
      return { status: response.status, type: response.headers.get('content-type'),
        body: Array.from(reply, (b) => b.toString(16).padStart(2, '0')).join('') };
    } catch (error) {
      return { error: String(error) };
    }
  }, [url, body.toString('hex')]), timeout, 'the KDC proxy\'s answer');
  return answer.body === undefined ? answer : { ...answer, body: Buffer.from(answer.body, 'hex') };
}

module.exports = { missing, bounded, startBrowser, openPage, connect, outcome, pixels, fetchKdc, waitForPicture };
