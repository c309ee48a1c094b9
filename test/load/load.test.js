'use strict';

// The gateway under load and under descriptor exhaustion, in a host process
// of its own whose descriptors and memory the tests read.
const test = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const WebSocket = require('ws');
const { startHost } = require('./host');
const { startRdpServer } = require('../js/support/rdp-server');
const { request } = require('../js/support/der');
const { waitFor, connectRaw, closedByPeer } = require('../js/helpers');

const CONNECTIONS = Number(process.env.QUILLGATE_LOAD_CONNECTIONS || 5000);

// Opens a relaying connection; resolves once the RDCleanPath response arrived.
function openRelay(port, serverPort) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/`, { perMessageDeflate: false });
    ws.binaryType = 'nodebuffer';
    // Not events.once: an 'error' before 'close' would reject it.
    ws.closed = new Promise((r) => ws.on('close', r));
    ws.once('open', () => ws.send(request({ destination: `127.0.0.1:${serverPort}` })));
    ws.once('message', () => resolve(ws));
    ws.once('error', reject);
    ws.on('error', () => {});
  });
}

async function inBatches(count, size, make) {
  const out = [];
  for (let i = 0; i < count; i += size) {
    out.push(...(await Promise.all(Array.from({ length: Math.min(size, count - i) }, make))));
  }
  return out;
}

async function echoes(ws, text) {
  const reply = once(ws, 'message');
  ws.send(text);
  const [data] = await reply;
  return data.toString() === text;
}

test(`${CONNECTIONS} relaying connections, then stop: prompt, all closed, descriptors back`, { timeout: 300000 }, async () => {
  const server = await startRdpServer();
  const host = await startHost();
  try {
    const fdsBefore = await host.call('fds');
    const port = await host.call('start');
    const clients = await inBatches(CONNECTIONS, 250, () => openRelay(port, server.port));
    // The entry turns "forwarding" right after the response is flushed, a
    // moment after the client may have read it.
    await waitFor(async () => (await host.call('stats')).filter((c) => c.state === 'forwarding' && c.tlsReady).length === CONNECTIONS,
      { what: 'every entry to be forwarding' });
    for (const ws of [clients[0], clients[CONNECTIONS >> 1], clients.at(-1)]) assert.ok(await echoes(ws, 'alive'));
    const fdsLoaded = await host.call('fds');

    const stopMs = await host.call('stop');
    console.log(`# ${CONNECTIONS} connections: host descriptors ${fdsBefore} -> ${fdsLoaded}; stopProxy took ${stopMs.toFixed(1)} ms`);
    assert.ok(stopMs < 5000, `stopProxy took ${stopMs} ms`);
    await Promise.all(clients.map((ws) => ws.closed));
    assert.deepEqual(await host.call('stats'), []);
    await waitFor(async () => (await host.call('fds')) === fdsBefore, { what: 'descriptors to return' });
  } finally {
    await server.close();
    await host.exit();
  }
});

test('200 start/stop cycles with connections in flight: descriptors and memory stay flat', { timeout: 300000 }, async () => {
  const server = await startRdpServer();
  const host = await startHost();
  try {
    const samples = [];
    for (let cycle = 0; cycle < 200; cycle++) {
      const port = await host.call('start');
      // Some relaying, some mid-handshake, some only connected.
      const relays = await inBatches(4, 4, () => openRelay(port, server.port));
      const pending = [0, 1, 2].map(() => {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/`);
        ws.on('error', () => {});
        ws.on('open', () => ws.send(request({ destination: `127.0.0.1:${server.port}` })));
        return new Promise((r) => ws.on('close', r));
      });
      const raw = await connectRaw(port);
      raw.on('error', () => {});
      await host.call('stop');
      await Promise.all([...relays.map((ws) => ws.closed), ...pending, closedByPeer(raw)]);
      if (cycle === 19 || cycle === 199) {
        await new Promise((r) => setTimeout(r, 200));
        samples.push({ cycle: cycle + 1, fds: await host.call('fds'), rss: await host.call('rss') });
      }
    }
    const [early, late] = samples;
    const growth = (late.rss - early.rss) / 1024 / 1024;
    console.log(`# cycles 20 -> 200: descriptors ${early.fds} -> ${late.fds}, RSS ${(early.rss / 1048576).toFixed(1)} -> ${(late.rss / 1048576).toFixed(1)} MiB`);
    assert.equal(late.fds, early.fds);
    assert.ok(growth < 16, `RSS grew ${growth.toFixed(1)} MiB over 180 cycles`);
  } finally {
    await server.close();
    await host.exit();
  }
});

test('descriptor exhaustion pauses accepting: live sessions relay on, new ones are served once descriptors free up', { timeout: 60000 }, async () => {
  const server = await startRdpServer();
  const host = await startHost({ fdLimit: 64 });
  try {
    const port = await host.call('start');
    const live = await openRelay(port, server.port);
    // More connections than descriptors: the kernel completes them all, the
    // gateway accepts what it can and leaves the rest waiting.
    const sockets = [];
    for (let i = 0; i < 80; i++) sockets.push(await connectRaw(port));
    let accepted = -1;
    await waitFor(async () => {
      const now = (await host.call('stats')).length;
      const settled = now === accepted;
      accepted = now;
      return settled;
    }, { interval: 300, what: 'accepting to stop at the limit' });
    assert.ok(accepted < 81, `${accepted} accepted`);
    assert.ok(await echoes(live, 'still relaying'));
    assert.equal((await host.call('status')).running, true);

    for (const s of sockets) s.destroy();
    const fresh = await openRelay(port, server.port);
    assert.ok(await echoes(fresh, 'served'));
    assert.ok(await echoes(live, 'and still relaying'));
    // Every connection that waited in the queue is accepted, then ends.
    await waitFor(async () => (await host.call('status')).totalConnections === 82 && (await host.call('stats')).length === 2,
      { what: 'the waiting connections to be taken and end' });
    await host.call('stop');
    await Promise.all([live.closed, fresh.closed]);
    assert.equal(host.output.stdout, '');
  } finally {
    await server.close();
    const { code, signal } = await host.exit();
    assert.equal(signal, null);
    assert.equal(code, 0);
  }
});
