'use strict';

const quillgate = require('../../..');

const port = quillgate.startProxy();
process.send({ port });
process.on('message', (message) => {
  if (message === 'stats') process.send({ stats: quillgate.getConnectionStats(), status: quillgate.getStatus() });
  if (message === 'stop') {
    quillgate.stopProxy();
    process.exit(0);
  }
});
