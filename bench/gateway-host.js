'use strict';

// The gateway's host process for the benchmark: starts it through the public
// API, prints the port, and runs until its input closes or it is told to stop.
const quillgate = require('..');

const port = quillgate.startProxy();
process.stdout.write(`${port}\n`);
const stop = () => {
  quillgate.stopProxy();
  process.exit(0);
};
process.stdin.on('end', stop);
process.stdin.resume();
process.on('SIGTERM', stop);
