#!/usr/bin/env node
// Draws docs/xrdp-login.png: xrdp's login screen as IronRDP's web client
// shows it in headless Chromium, through the gateway (this module, started
// in this process) to the tests' own xrdp.
//
//   node scripts/screenshot.js [output.png]
'use strict';

const path = require('node:path');
const quillgate = require('..');
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
    pages = await harness.startPageServer();
    browser = await harness.startBrowser();
    await harness.openClient(browser, `http://127.0.0.1:${pages.port}`);
    const result = await harness.connect(browser, `ws://127.0.0.1:${port}`, `127.0.0.1:${xrdp.port}`);
    if (!result.connected) throw new Error(`the client failed: ${JSON.stringify(result.error)}`);
    await harness.waitForPicture(browser);
    // Let the login window finish drawing.
    await new Promise((resolve) => setTimeout(resolve, 1000));
    await harness.bounded(browser.page.locator('iron-remote-desktop canvas').screenshot({ path: output }), 10000,
      'the screenshot');
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

main(path.resolve(process.argv[2] ?? path.join(__dirname, '..', 'docs', 'xrdp-login.png'))).catch((error) => {
  console.error(`screenshot: ${error.message}`);
  process.exit(1);
});
