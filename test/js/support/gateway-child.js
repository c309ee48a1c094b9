'use strict';

const quillgate = require('../../..');

// Messages come over the IPC channel, or, under Wine, as JSON lines over a
// loopback connection to the port the harness names.
const channel = process.send ? { send: (m) => process.send(m), on: (f) => process.on('message', f) } : (() => {
  const socket = require('node:net').connect(Number(process.env.QUILLGATE_TEST_CONTROL), '127.0.0.1');
  let buffered = '';
  return {
    send: (m) => socket.write(`${JSON.stringify(m)}\n`),
    on: (f) => socket.setEncoding('utf8').on('data', (text) => {
      const lines = (buffered + text).split('\n');
      buffered = lines.pop();
      lines.forEach((line) => f(JSON.parse(line)));
    }),
  };
})();

// What the test has the host set at run time, before the start.
Object.assign(process.env, JSON.parse(Buffer.from(process.env.QUILLGATE_TEST_SET_ENV || 'e30=', 'base64').toString()));
const port = quillgate.startProxy();
channel.send({ port });
channel.on((message) => {
  // A child of the host, as applications start them: it must inherit none
  // of the gateway's sockets.
  if (message.spawn) {
    const child = require('node:child_process').spawn(...message.spawn, { stdio: 'ignore' });
    channel.send({ spawned: child.pid });
  }
  if (message === 'stats') channel.send({ stats: quillgate.getConnectionStats(), status: quillgate.getStatus() });
  // Standard error is one pipe: a marker written now lands after every line
  // the gateway wrote before.
  if (message.mark) process.stderr.write(`#mark ${message.mark}\n`);
  if (message === 'stop') {
    quillgate.stopProxy();
    process.exit(0);
  }
});
