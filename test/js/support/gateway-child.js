'use strict';

const quillgate = require('../../..');

const port = quillgate.startProxy();
process.send({ port });
process.on('message', (message) => {
  if (message === 'stats') process.send({ stats: quillgate.getConnectionStats(), status: quillgate.getStatus() });
  // Standard error is one pipe: a marker written now lands after every line
  // the gateway wrote before.
  if (message.mark) process.stderr.write(`#mark ${message.mark}\n`);
  if (message === 'stop') {
    quillgate.stopProxy();
    process.exit(0);
  }
});
