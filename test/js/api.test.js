'use strict';

// The module as JavaScript sees it: exports, the service's life cycle, and
// the status and statistics objects, against raw TCP clients.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const quillgate = require('../..');
const { root, waitFor, connectRaw, closedByPeer, runNode } = require('./helpers');

const stoppedStatus = { running: false, activeConnections: 0, totalConnections: 0 };

test('exports the four functions in order', () => {
  const addon = require(process.env.QUILLGATE_ADDON || require('node:path').join(root, 'build', 'quillgate.node'));
  assert.deepEqual(Object.keys(addon), ['getStatus', 'stopProxy', 'startProxy', 'getConnectionStats']);
  for (const name of Object.keys(addon)) assert.equal(typeof addon[name], 'function');
  assert.deepEqual(Object.keys(quillgate), Object.keys(addon));
});

test('before any start: stopped reports, and stop succeeds twice', () => {
  assert.deepEqual(quillgate.getStatus(), stoppedStatus);
  assert.deepEqual(Object.keys(quillgate.getStatus()), ['running', 'activeConnections', 'totalConnections']);
  assert.deepEqual(quillgate.getConnectionStats(), []);
  assert.equal(quillgate.stopProxy(), undefined);
  assert.equal(quillgate.stopProxy('ignored', 1), undefined);
});

test('start, observe raw clients, stop', async (t) => {
  const before = Date.now();
  const port = quillgate.startProxy(8080);
  t.after(() => quillgate.stopProxy());
  assert.ok(Number.isInteger(port) && port >= 1 && port <= 65535);
  assert.equal(quillgate.startProxy(), port);

  const status = quillgate.getStatus({});
  assert.deepEqual(Object.keys(status), ['running', 'port', 'activeConnections', 'totalConnections', 'startTimeMs']);
  assert.equal(status.running, true);
  assert.equal(status.port, port);
  assert.equal(status.activeConnections, 0);
  assert.ok(Math.abs(status.startTimeMs - before) < 1000);
  assert.deepEqual(quillgate.getConnectionStats(), []);

  const first = await connectRaw(port);
  const [entry] = await waitFor(() => quillgate.getConnectionStats().length === 1 && quillgate.getConnectionStats());
  assert.deepEqual(Object.keys(entry), ['connectionId', 'state', 'startTimeMs', 'wsConnected', 'tcpConnected', 'tlsReady']);
  assert.equal(entry.connectionId, 'rdp-1');
  assert.equal(entry.state, 'handshaking');
  assert.equal(entry.wsConnected, true);
  assert.equal(entry.tcpConnected, false);
  assert.equal(entry.tlsReady, false);
  assert.ok(!('rdpHost' in entry) && !('rdpPort' in entry));
  assert.ok(entry.startTimeMs >= status.startTimeMs);
  assert.equal(quillgate.getStatus().activeConnections, 1);
  assert.equal(quillgate.getStatus().totalConnections, 1);

  first.destroy();
  await waitFor(() => quillgate.getStatus().activeConnections === 0, { what: 'the entry to go' });
  assert.deepEqual(quillgate.getConnectionStats(), []);
  assert.equal(quillgate.getStatus().totalConnections, 1);

  const more = await Promise.all([1, 2, 3].map(() => connectRaw(port)));
  await waitFor(() => quillgate.getConnectionStats().length === 3);
  const ids = quillgate.getConnectionStats().map((c) => c.connectionId).sort();
  assert.deepEqual(ids, ['rdp-2', 'rdp-3', 'rdp-4']);

  // Stop with open clients: prompt, every socket closed, nothing left.
  const started = Date.now();
  assert.equal(quillgate.stopProxy(), undefined);
  assert.ok(Date.now() - started < 5000, 'stopProxy returned promptly');
  await Promise.all(more.map(closedByPeer));
  assert.deepEqual(quillgate.getStatus(), stoppedStatus);
  assert.deepEqual(quillgate.getConnectionStats(), []);
  await assert.rejects(connectRaw(port));
});

test('a new start restarts counters and ids on a working port', async (t) => {
  const port = quillgate.startProxy();
  t.after(() => quillgate.stopProxy());
  const a = await connectRaw(port);
  await waitFor(() => quillgate.getConnectionStats().length === 1);
  quillgate.stopProxy();
  await closedByPeer(a);

  const again = quillgate.startProxy();
  assert.equal(quillgate.getStatus().totalConnections, 0);
  const b = await connectRaw(again);
  const [entry] = await waitFor(() => quillgate.getConnectionStats().length === 1 && quillgate.getConnectionStats());
  assert.equal(entry.connectionId, 'rdp-1');
  b.destroy();
});

test('a worker thread sees and controls the same service', async () => {
  const port = quillgate.startProxy();
  const worker = new Worker(
    `const { parentPort } = require('node:worker_threads');
     const q = require(${JSON.stringify(root)});
     const seen = q.getStatus();
     const port = q.startProxy();
     q.stopProxy();
     parentPort.postMessage({ seen, port, after: q.getStatus() });`,
    { eval: true });
  const [message] = await require('node:events').once(worker, 'message');
  assert.equal(message.seen.port, port);
  assert.equal(message.port, port);
  assert.deepEqual(message.after, stoppedStatus);
  assert.deepEqual(quillgate.getStatus(), stoppedStatus);
});

test('the host process exits normally after stopProxy, and with the service running', async () => {
  for (const stop of ['q.stopProxy();', '']) {
    const script = `const q = require('.'); const net = require('node:net');
      const port = q.startProxy();
      const s = net.connect(port, '127.0.0.1', () => { ${stop} s.destroy(); process.stderr.write('done'); });`;
    const { code, signal, stderr, stdout } = await runNode(['-e', script]);
    assert.equal(signal, null);
    assert.equal(code, 0, stderr);
    assert.equal(stderr, 'done');
    assert.equal(stdout, '');
  }
});

test('a service error is thrown with code GenericFailure; the service stays stopped', async () => {
  // Fill the descriptor table so that the listener cannot be created.
  const script = `const q = require('.'); const fs = require('node:fs');
    const held = [];
    try { for (;;) held.push(fs.openSync('/dev/null', 'r')); } catch {}
    try { q.startProxy(); console.log('started'); }
    catch (e) { console.log(JSON.stringify({ name: e.constructor.name, code: e.code, message: e.message, status: q.getStatus() })); }`;
  const out = await new Promise((resolve, reject) => {
    execFile('sh', ['-c', `ulimit -n 64 && exec "${process.execPath}" -e "$0"`, script], { cwd: root },
      (error, stdout) => (error ? reject(error) : resolve(stdout)));
  });
  const result = JSON.parse(out);
  assert.equal(result.name, 'Error');
  assert.equal(result.code, 'GenericFailure');
  assert.match(result.message, /^监听失败: /);
  assert.deepEqual(result.status, stoppedStatus);
});

test('the addon exports exactly one dynamic symbol, the Node-API entry point', () => {
  const { execFileSync } = require('node:child_process');
  const out = execFileSync('nm', ['-D', '--defined-only', require('node:path').join(root, 'build', 'quillgate.node')],
    { encoding: 'utf8' });
  const symbols = out.trim().split('\n').map((line) => line.trim().split(/\s+/).pop());
  assert.deepEqual(symbols, ['napi_register_module_v1']);
});
