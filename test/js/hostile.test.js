'use strict';

// Hostile clients and failing servers: each ends only its own connection,
// writes its one line, and leaves the registry clean, while a healthy
// connection opened beforehand keeps relaying.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const net = require('node:net');
const { once } = require('node:events');
const { Gateway } = require('./support/gateway');
const { startRdpServer } = require('./support/rdp-server');
const { request, X224_CONFIRM } = require('./support/der');
const { waitFor, connectRaw, closedByPeer } = require('./helpers');

let gateway;
let echo;
let healthy;
test.before(async () => {
  gateway = await Gateway.start();
  echo = await startRdpServer();
  healthy = await gateway.open();
  healthy.ws.send(request({ destination: `127.0.0.1:${echo.port}` }));
  await waitFor(() => healthy.ws.messages.length === 1);
});
test.after(async () => {
  // The healthy connection survived everything and still relays intact.
  const payload = crypto.randomBytes(1 << 20);
  const before = healthy.ws.messages.length;
  healthy.ws.send(payload);
  await waitFor(() => healthy.ws.messages.slice(before).reduce((n, m) => n + m.data.length, 0) === payload.length);
  assert.ok(Buffer.concat(healthy.ws.messages.slice(before).map((m) => m.data)).equals(payload));
  healthy.ws.close();
  assert.deepEqual(await gateway.linesOf(healthy.id), []);
  assert.equal(gateway.stdout, '', 'nothing on standard output');
  await echo.close();
  await gateway.stop();
});

// A raw TCP client that has completed the WebSocket handshake.
async function rawWebSocket() {
  const socket = await connectRaw(gateway.port);
  const id = gateway.nextId();
  socket.write('GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
    `Sec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
  const head = await new Promise((resolve) => {
    let text = '';
    const onData = (chunk) => {
      text += chunk.toString('latin1');
      if (text.includes('\r\n\r\n')) socket.off('data', onData), socket.pause(), resolve(text);
    };
    socket.on('data', onData);
  });
  assert.match(head, /^HTTP\/1\.1 101 /);
  return { socket, id };
}

// A masked client frame header announcing `length` bytes.
function frameHeader(opcode, length, fin = true) {
  const header = Buffer.alloc(14);
  header[0] = (fin ? 0x80 : 0) | opcode;
  header[1] = 0x80 | 127;
  header.writeBigUInt64BE(BigInt(length), 2);
  return header; // mask key 00 00 00 00: payload goes unchanged
}

async function expectLine(id, pattern) {
  const lines = await gateway.linesOf(id);
  assert.equal(lines.length, 1, lines.join('\n'));
  assert.match(lines[0], pattern);
}

test('bytes that are not HTTP, and an oversized upgrade header, fail the handshake', async () => {
  const garbage = await connectRaw(gateway.port);
  const garbageId = gateway.nextId();
  garbage.end(Buffer.from('\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not http at all\r\n\r\n', 'latin1'));
  await closedByPeer(garbage);
  await expectLine(garbageId, /\] 连接处理失败: WebSocket 握手失败: /);

  const big = await connectRaw(gateway.port);
  const bigId = gateway.nextId();
  big.write(`GET / HTTP/1.1\r\nHost: x\r\nX-Padding: ${'a'.repeat(200000)}\r\n`);
  await closedByPeer(big);
  await expectLine(bigId, /\] 连接处理失败: WebSocket 握手失败: /);
});

test('frames and messages over 64 MiB, and unmasked frames, are read errors', async () => {
  const announced = await rawWebSocket();
  announced.socket.write(frameHeader(0x2, 64 * 1024 * 1024 + 1));
  await closedByPeer(announced.socket);
  await expectLine(announced.id, /\] 连接处理失败: 读取 WebSocket 消息失败: /);

  // 40 MiB arrive in a first fragment; the continuation would pass 64 MiB.
  const fragmented = await rawWebSocket();
  fragmented.socket.write(frameHeader(0x2, 40 << 20, false));
  fragmented.socket.write(Buffer.alloc(40 << 20));
  fragmented.socket.write(frameHeader(0x0, 30 << 20));
  await closedByPeer(fragmented.socket);
  await expectLine(fragmented.id, /\] 连接处理失败: 读取 WebSocket 消息失败: /);

  const unmasked = await rawWebSocket();
  unmasked.socket.write(Buffer.from([0x82, 0x03, 0x61, 0x62, 0x63]));
  await closedByPeer(unmasked.socket);
  await expectLine(unmasked.id, /\] 连接处理失败: 读取 WebSocket 消息失败: /);
});

test('a silent client stays "handshaking" until it leaves; one that leaves is "WebSocket 连接已关闭"', async () => {
  const silent = await connectRaw(gateway.port);
  const id = gateway.nextId();
  await new Promise((r) => setTimeout(r, 300));
  assert.equal((await gateway.entry(id)).state, 'handshaking');
  silent.destroy();
  await expectLine(id, /\] 连接处理失败: WebSocket 握手失败: /);

  const leaving = await rawWebSocket();
  leaving.socket.end();
  await expectLine(leaving.id, /\] 连接处理失败: WebSocket 连接已关闭$/);
});

test('clients that vanish during the X.224 wait, the TLS handshake and a large relay', async () => {
  // X.224 wait: the server answers only after the client has gone.
  let answer;
  const slow = await startRdpServer({ x224Reply: (socket) => new Promise((r) => (answer = () => { socket.write(X224_CONFIRM); r(); })) });
  const x224 = await gateway.open();
  x224.ws.send(request({ destination: `127.0.0.1:${slow.port}` }));
  await waitFor(() => answer);
  x224.ws.terminate();
  answer();
  // The session learns of the client only when it relays; the relay then ends.
  await gateway.linesOf(x224.id);
  await slow.close();

  // TLS handshake: the server holds the ClientHello; the client goes; the server then closes.
  let holder;
  const stalled = await startRdpServer({ x224Reply: (socket) => (socket.write(X224_CONFIRM), (holder = socket), false) });
  const tls = await gateway.open();
  tls.ws.send(request({ destination: `127.0.0.1:${stalled.port}` }));
  await waitFor(() => holder);
  tls.ws.terminate();
  await new Promise((r) => setTimeout(r, 200));
  assert.equal((await gateway.entry(tls.id)).tcpConnected, true);
  holder.destroy();
  await expectLine(tls.id, /\] TLS 握手失败: /);
  await stalled.close();

  // Large relay, each direction.
  const big = crypto.randomBytes(16 << 20);
  const flood = await startRdpServer({ onSecure: (s) => (s.on('data', () => {}), s.write(big)) });
  const down = await gateway.open();
  down.ws.send(request({ destination: `127.0.0.1:${flood.port}` }));
  await waitFor(() => down.ws.messages.length > 10);
  down.ws.terminate();
  await gateway.linesOf(down.id);

  const up = await gateway.open();
  up.ws.send(request({ destination: `127.0.0.1:${flood.port}` }));
  await waitFor(() => up.ws.messages.length > 0);
  for (let i = 0; i < 64; i++) up.ws.send(big.subarray(i << 18, (i + 1) << 18));
  setTimeout(() => up.ws.terminate(), 20);
  await gateway.linesOf(up.id);
  await flood.close();
});

test('servers that reset, alert or close during the TLS handshake', async () => {
  // 500; after the alert, with [3] tls_alert_code 40 (handshake_failure: no cipher in common).
  const plain = '3015a00402020d3ea10d300ba003020101a104020201f4';
  const cases = [
    ['reset during the handshake', { x224Reply: (s) => (s.write(X224_CONFIRM), s.once('data', () => s.resetAndDestroy()).resume(), false) }, plain],
    ['a TLS alert', { tlsOptions: { minVersion: 'TLSv1.3', ciphers: 'TLS_AES_128_CCM_8_SHA256' } },
      '301aa00402020d3ea1123010a003020101a104020201f4a303020128'],
    ['closing after the X.224 reply', { x224Reply: (s) => (s.end(X224_CONFIRM), false) }, plain],
  ];
  for (const [name, options, answer] of cases) {
    const server = await startRdpServer(options);
    try {
      const { ws, id } = await gateway.open();
      ws.send(request({ destination: `127.0.0.1:${server.port}` }));
      await ws.closed;
      assert.deepEqual(ws.messages.map((m) => m.data.toString('hex')), [answer], name);
      await expectLine(id, /\] TLS 握手失败: .+/);
    } finally {
      await server.close();
    }
  }
});

test('a server that stalls the TLS handshake forever: the connection waits, stopProxy ends it', async () => {
  const own = await Gateway.start();
  const server = await startRdpServer({ x224Reply: (s) => (s.write(X224_CONFIRM), false) });
  try {
    const { ws, id } = await own.open();
    ws.send(request({ destination: `127.0.0.1:${server.port}` }));
    await waitFor(async () => (await own.entry(id))?.tcpConnected);
    await new Promise((r) => setTimeout(r, 300));
    assert.equal((await own.entry(id)).state, 'handshaking');
    const started = Date.now();
    await own.stop();
    assert.ok(Date.now() - started < 5000);
    await ws.closed;
    assert.equal(ws.messages.length, 0);
    assert.equal(ws.events.find((e) => 'close' in e).close, 1006);
  } finally {
    await server.close();
  }
});

test('the listener is bound to 127.0.0.1 only', async () => {
  await assert.rejects(new Promise((resolve, reject) => {
    const s = net.connect(gateway.port, '127.0.0.2', () => resolve(s));
    s.once('error', reject);
  }));
  const { readFileSync } = require('node:fs');
  const hexPort = gateway.port.toString(16).toUpperCase().padStart(4, '0');
  const listening = readFileSync('/proc/net/tcp', 'utf8').split('\n')
    .filter((line) => line.includes(`:${hexPort} `) && line.trim().split(/\s+/)[3] === '0A');
  assert.equal(listening.length, 1);
  assert.equal(listening[0].trim().split(/\s+/)[1], `0100007F:${hexPort}`);
  assert.ok(!require('node:fs').readFileSync('/proc/net/tcp6', 'utf8').includes(`:${hexPort} 00000000000000000000000000000000:0000 0A`));
  void once;
});
