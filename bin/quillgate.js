#!/usr/bin/env node
// Runs the gateway and shows what it does until Ctrl-C or SIGTERM.
//
//   quillgate                   a live table on a terminal; one line per change otherwise
//   quillgate --json            one JSON object per change
//   quillgate --web [--web-port N]
//                               also serves a page with a remote desktop client on 127.0.0.1
'use strict';

const quillgate = require('..');
const { render, describe, diff, jsonLine } = require('../lib/view');

const USAGE = 'usage: quillgate [--json] [--web [--web-port N]] [--version]\n\n' +
  'Starts the RDCleanPath gateway on 127.0.0.1 and shows its connections.\n' +
  '  --web          also serve a web page with a remote desktop client (IronRDP\'s web client) on\n' +
  '                 127.0.0.1, at a free port or the one --web-port names\n' +
  '  --json         one JSON object per change\n' +
  'Set QUILLGATE_LOG=1 for diagnostic lines on standard error. Stop with Ctrl-C.\n';

// The options, or a text saying what is wrong with them.
function parse(argv) {
  const options = { json: false, web: false, webPort: 0 };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--json') options.json = true;
    else if (arg === '--web') options.web = true;
    else if (arg === '--help' || arg === '-h') options.help = true;
    else if (arg === '--version') options.version = true;
    else if (arg === '--web-port' || arg.startsWith('--web-port=')) {
      const value = arg.includes('=') ? arg.slice(arg.indexOf('=') + 1) : argv[++i];
      if (!/^\d{1,5}$/.test(value ?? '') || Number(value) > 65535) return `--web-port needs a port number, not ${value ?? 'nothing'}`;
      options.web = true;
      options.webPort = Number(value);
    } else return `unknown argument ${arg} (try --help)`;
  }
  return options;
}

async function main(argv) {
  const options = parse(argv);
  if (typeof options === 'string') return fail(options, 2);
  if (options.help) return process.stdout.write(USAGE);
  if (options.version) return console.log(require('../package.json').version);
  const { json } = options;
  const live = !json && process.stdout.isTTY;

  // Before anything that takes time: a signal that comes early still stops cleanly.
  let stop = () => process.exit(0);
  process.once('SIGINT', () => stop());
  process.once('SIGTERM', () => stop());

  // Found before the gateway starts: a missing package is one line, and nothing runs.
  let web;
  let packages;
  if (options.web) {
    web = require('../lib/web-server');
    try {
      packages = web.findClientPackages();
    } catch (error) {
      return fail(error.message, 1);
    }
    for (const note of web.untestedVersions(packages)) process.stderr.write(`quillgate: ${note}\n`);
  }
  let port;
  try {
    port = quillgate.startProxy();
  } catch (error) {
    return fail(error.message, 1);
  }
  let pages;
  if (web) {
    try {
      pages = await web.startWebServer({ gatewayPort: port, port: options.webPort, packages });
    } catch (error) {
      quillgate.stopProxy();
      return fail(`the web page cannot be served on 127.0.0.1:${options.webPort || '(any port)'}: ${error.message}`, 1);
    }
  }
  const url = `ws://127.0.0.1:${port}`;
  const page = pages && `open ${pages.url} in a browser`;
  if (json) print({ event: 'started', url, port, ...(pages && { page: pages.url }) });
  else if (!live) console.log([url, page].filter(Boolean).join('\n'));

  let previous = new Map();
  const tick = () => {
    const status = quillgate.getStatus();
    const connections = quillgate.getConnectionStats();
    if (live) {
      process.stdout.write(`\x1b[H\x1b[2J${render(url, status, connections, Date.now(), page)}`);
      return;
    }
    const current = new Map(connections.map((c) => [c.connectionId, c]));
    for (const change of diff(previous, current)) {
      if (json) print(change.connection ? { event: 'connection', ...change.connection } : { event: 'closed', connectionId: change.closed });
      else console.log(change.connection ? describe(change.connection) : `${change.closed} closed`);
    }
    previous = current;
  };
  const timer = setInterval(tick, live ? 1000 : 200);
  tick();

  stop = async () => {
    clearInterval(timer);
    stop = () => {};
    await pages?.close();
    quillgate.stopProxy();
    if (live) process.stdout.write('\nstopped\n');
    else if (json) print({ event: 'stopped' });
    process.exit(0);
  };
}

function fail(message, code) {
  process.stderr.write(`quillgate: ${message}\n`);
  process.exitCode = code;
}

function print(object) {
  process.stdout.write(`${jsonLine(object)}\n`);
}

main(process.argv.slice(2));
