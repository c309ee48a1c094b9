#!/usr/bin/env node
// Draws docs/web-page.png: the page of `quillgate --web` in headless
// Chromium with a session in it, through the gateway (this module, started
// in this process) to the tests' own xrdp, whose login screen it shows.
//
//   node scripts/screenshot.js [output.png]
'use strict';

const path = require('node:path');
const quillgate = require('..');
const { startWebServer } = require('../lib/web-server');
const { available, startXrdp } = require('../test/js/support/xrdp');
const harness = require('../test/browser/harness');

async function main(output) {
  const missing = [...harness.missing(), ...(available ? [] : ['xrdp'])];
  if (missing.length) throw new Error(`not installed: ${missing.join(', ')} (npm run screenshot installs them)`);
  const port = quillgate.startProxy();
  let xrdp;
  let pages;
  let browser;
  for (const name of ['SIGINT', 'SIGTERM']) {
    process.once(name, () => {
      browser?.kill();
      xrdp?.kill();
      process.kill(process.pid, name);
    });
  }
  try {
    xrdp = await startXrdp();
    pages = await startWebServer({ gatewayPort: port });
    browser = await harness.startBrowser({ viewport: { width: 860, height: 900 } });
    await harness.openPage(browser, pages.url);
    // xrdp asks for the password at its own login screen.
    const result = await harness.connect(browser, { destination: `127.0.0.1:${xrdp.port}`, username: 'alice', size: '800x600' });
    if (result.state !== 'connected') throw new Error(`the page shows: ${result.text}`);
    await harness.waitForPicture(browser);
    // Let the login window finish drawing.
    await new Promise((resolve) => setTimeout(resolve, 1000));
    await harness.bounded(browser.page.screenshot({ path: output, fullPage: true }), 10000, 'the screenshot');
    console.log(`wrote ${path.relative(process.cwd(), output)}`);
  } catch (error) {
    if (browser) console.error(`screenshot and console log kept in ${await browser.keepEvidence('screenshot')}`);
    throw error;
  } finally {
    await browser?.stop();
    await pages?.close();
    await xrdp?.stop();
    quillgate.stopProxy();
  }
}

main(path.resolve(process.argv[2] ?? path.join(__dirname, '..', 'docs', 'web-page.png'))).catch((error) => {
  console.error(`screenshot: ${error.message}`);
  process.exit(1);
});
