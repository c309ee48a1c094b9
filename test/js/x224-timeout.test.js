'use strict';

// A server that never answers the X.224 request: the client gets the 500
// response after the 10 s limit. On its own in this file so that it runs in
// parallel with the other files.
const test = require('node:test');
const assert = require('node:assert/strict');
const { Gateway } = require('./support/gateway');
const { startRdpServer } = require('./support/rdp-server');
const { request } = require('./support/der');

test('no X.224 reply within 10 s: 500, Close, one timeout line', async () => {
  const gateway = await Gateway.start();
  // Half a header, then silence: the limit counts from the start of the read.
  const server = await startRdpServer({ x224Reply: (socket) => (socket.write(Buffer.from([3, 0])), false) });
  try {
    const { ws, id } = await gateway.open();
    const sent = Date.now();
    ws.send(request({ destination: `127.0.0.1:${server.port}` }));
    await ws.closed;
    const waited = Date.now() - sent;
    assert.ok(waited >= 9900 && waited < 14000, `${waited} ms`);
    assert.deepEqual(ws.messages.map((m) => m.data.toString('hex')), ['3015a00402020d3ea10d300ba003020101a104020201f4']);
    assert.deepEqual(await gateway.linesOf(id), [`[${id}] 读取 x224 响应超时`]);
  } finally {
    await server.close();
    await gateway.stop();
  }
});
