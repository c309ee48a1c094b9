'use strict';

// A host process for the gateway that the load tests drive over IPC.
const fs = require('node:fs');
const quillgate = require('../..');

const commands = {
  start: () => quillgate.startProxy(),
  stop: () => {
    const started = process.hrtime.bigint();
    quillgate.stopProxy();
    return Number(process.hrtime.bigint() - started) / 1e6;
  },
  status: () => quillgate.getStatus(),
  stats: () => quillgate.getConnectionStats(),
  fds: () => fs.readdirSync('/proc/self/fd').length,
  rss: () => process.memoryUsage().rss,
};

process.on('message', ({ id, command }) => {
  try {
    process.send({ id, value: commands[command]() });
  } catch (error) {
    process.send({ id, error: { message: error.message, code: error.code } });
  }
});
process.send({ ready: true });
