#!/usr/bin/env node
// Runs the gateway and shows what it does until Ctrl-C or SIGTERM.
//
//   quillgate          a live table on a terminal; one line per change otherwise
//   quillgate --json   one JSON object per change
'use strict';

const quillgate = require('..');
const { render, describe, diff, jsonLine } = require('../lib/view');

function main(argv) {
  if (argv.includes('--help') || argv.includes('-h')) {
    process.stdout.write('usage: quillgate [--json]\n\nStarts the RDCleanPath gateway on 127.0.0.1 and shows its connections.\n' +
      'Set QUILLGATE_LOG=1 for diagnostic lines on standard error. Stop with Ctrl-C.\n');
    return;
  }
  const unknown = argv.filter((a) => a !== '--json');
  if (unknown.length) {
    process.stderr.write(`quillgate: unknown argument ${unknown[0]} (try --help)\n`);
    process.exitCode = 2;
    return;
  }
  const json = argv.includes('--json');
  const live = !json && process.stdout.isTTY;

  // Before anything that takes time: a signal that comes early still stops cleanly.
  let stop = () => process.exit(0);
  process.once('SIGINT', () => stop());
  process.once('SIGTERM', () => stop());

  let port;
  try {
    port = quillgate.startProxy();
  } catch (error) {
    process.stderr.write(`quillgate: ${error.message}\n`);
    process.exitCode = 1;
    return;
  }
  const url = `ws://127.0.0.1:${port}`;
  if (json) print({ event: 'started', url, port });
  else if (!live) console.log(url);

  let previous = new Map();
  const tick = () => {
    const status = quillgate.getStatus();
    const connections = quillgate.getConnectionStats();
    if (live) {
      process.stdout.write(`\x1b[H\x1b[2J${render(url, status, connections, Date.now())}`);
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

  stop = () => {
    clearInterval(timer);
    quillgate.stopProxy();
    if (live) process.stdout.write('\nstopped\n');
    else if (json) print({ event: 'stopped' });
    process.exit(0);
  };
}

function print(object) {
  process.stdout.write(`${jsonLine(object)}\n`);
}

main(process.argv.slice(2));
