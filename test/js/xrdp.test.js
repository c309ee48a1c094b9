'use strict';

// Through the gateway to a real RDP server: Debian's xrdp (see support/xrdp.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { Gateway } = require('./support/gateway');
const { request, parseResponse, X224_REQUEST } = require('./support/der');
const { available, startXrdp } = require('./support/xrdp');
const { waitFor } = require('./helpers');

if (!available) console.log('# xrdp.test.js: SKIPPED: xrdp is not installed (apt-get install --no-install-recommends xrdp)');

test('xrdp: its certificate and its Connection Confirm selecting TLS reach the client', { skip: !available }, async () => {
  const xrdp = await startXrdp();
  const gateway = await Gateway.start();
  try {
    const { ws, id } = await gateway.open();
    ws.send(request({ destination: `127.0.0.1:${xrdp.port}`, x224: X224_REQUEST }));
    await waitFor(() => ws.messages.length > 0 || ws.events.length > 0, { what: 'the response' });
    assert.equal(ws.messages.length, 1, gateway.stderr);
    const response = parseResponse(ws.messages[0].data);
    assert.equal(response.version, 3390);
    assert.deepEqual(response.certificates, [xrdp.certificate]);
    const cc = response.x224;
    assert.equal(cc.readUInt16BE(2), cc.length);
    assert.equal(cc[5], 0xd0, 'X.224 Connection Confirm');
    // RDP_NEG_RSP: type 2, selected protocol PROTOCOL_SSL (1).
    assert.equal(cc[11], 0x02);
    assert.equal(cc.readUInt32LE(cc.length - 4), 1);
    assert.equal((await gateway.entry(id)).state, 'forwarding');

    // The relay is live: bytes that are no MCS Connect Initial make xrdp drop
    // the connection, and the client sees its socket closed.
    ws.send(Buffer.from('0300000802f080ff'.repeat(4), 'hex'));
    await ws.closed;
    await gateway.linesOf(id);
  } finally {
    await gateway.stop();
    await xrdp.stop();
  }
});
