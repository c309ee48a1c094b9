'use strict';

// The gateway in a child process with diagnostic lines on, so that tests can
// read its standard error. Connection ids are predictable because each test
// file's tests open their connections one after another.
const { fork } = require('node:child_process');
const path = require('node:path');
const { once } = require('node:events');
const WebSocket = require('ws');
const { waitFor } = require('../helpers');

class Gateway {
  static async start({ env = { QUILLGATE_LOG: '1' } } = {}) {
    const child = fork(path.join(__dirname, 'gateway-child.js'), [], {
      env: { ...process.env, ...env },
      stdio: ['ignore', 'pipe', 'pipe', 'ipc'],
    });
    const gateway = new Gateway(child);
    const [message] = await once(child, 'message');
    gateway.port = message.port;
    return gateway;
  }

  constructor(child) {
    this.child = child;
    this.stderr = '';
    this.stdout = '';
    this.connections = 0;
    this.marks = 0;
    this.pending = [];
    child.stderr.on('data', (d) => (this.stderr += d));
    child.stdout.on('data', (d) => (this.stdout += d));
    child.on('message', (m) => (m.stats || m.spawned) && this.pending.shift()(m));
  }

  // The id the next connection will get.
  nextId() {
    return `rdp-${++this.connections}`;
  }

  url() {
    return `ws://127.0.0.1:${this.port}/`;
  }

  async report() {
    const reply = new Promise((resolve) => this.pending.push(resolve));
    this.child.send('stats');
    return reply;
  }

  // Starts `command` as a child of the gateway's host process; resolves with its pid.
  async spawn(...command) {
    const reply = new Promise((resolve) => this.pending.push(resolve));
    this.child.send({ spawn: command });
    return (await reply).spawned;
  }

  async entry(id) {
    return (await this.report()).stats.find((c) => c.connectionId === id);
  }

  // Waits until the connection has left the registry, which happens after its
  // diagnostic line (if any) was written; returns its lines.
  async linesOf(id) {
    await waitFor(async () => !(await this.entry(id)), { what: `${id} to end`, timeout: 15000 });
    const mark = `#mark ${++this.marks}\n`;
    this.child.send({ mark: this.marks });
    await waitFor(() => this.stderr.includes(mark), { what: 'standard error to catch up' });
    return this.stderr.split('\n').filter((line) => line.startsWith(`[${id}] `));
  }

  // Opens a WebSocket; resolves with it and its id once open.
  async open() {
    const id = this.nextId();
    const ws = new WebSocket(this.url());
    ws.binaryType = 'nodebuffer';
    ws.messages = [];
    ws.events = [];
    ws.on('message', (data, isBinary) => ws.messages.push({ data: Buffer.from(data), isBinary }));
    ws.on('close', (code, reason) => ws.events.push({ close: code, reason: reason.toString() }));
    ws.on('error', (error) => ws.events.push({ error }));
    ws.closed = new Promise((resolve) => ws.on('close', resolve));
    await once(ws, 'open');
    return { ws, id };
  }

  async stop() {
    this.child.send('stop');
    await once(this.child, 'exit');
  }
}

module.exports = { Gateway };
