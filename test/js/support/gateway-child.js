'use strict';

const quillgate = require('../../..');

const port = quillgate.startProxy();
process.send({ port });
process.on('message', (message) => {
  // A child of the host, as applications start them: it must inherit none
  // of the gateway's sockets.
  if (message.spawn) {
    const child = require('node:child_process').spawn(...message.spawn, { stdio: 'ignore' });
    process.send({ spawned: child.pid });
  }
  if (message === 'stats') process.send({ stats: quillgate.getConnectionStats(), status: quillgate.getStatus() });
  // Standard error is one pipe: a marker written now lands after every line
  // the gateway wrote before.
  if (message.mark) process.stderr.write(`#mark ${message.mark}\n`);
  if (message === 'stop') {
    quillgate.stopProxy();
    process.exit(0);
  }
});
