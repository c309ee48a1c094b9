'use strict';

// The gateway in a child process with diagnostic lines on, so that tests can
// read its standard error. Connection ids are predictable because each test
// file's tests open their connections one after another.
//
// With QUILLGATE_WINE_NODE set (scripts/test-win32.js sets it), the child is
// that Windows node.exe under Wine, loading the Windows addon named by
// QUILLGATE_WINE_ADDON; the clients and servers stay on this side of 127.0.0.1.
const { fork, spawn } = require('node:child_process');
const EventEmitter = require('node:events');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
const { StringDecoder } = require('node:string_decoder');
const WebSocket = require('ws');
const { waitFor } = require('../helpers');

// A Windows child under Wine, with what the harness uses of a forked one:
// messages travel as JSON lines over a loopback connection (Node's IPC
// channel does not cross into Wine), and standard output and error go to
// files (Wine's console writes fail on a pipe), read as they grow.
class WineChild extends EventEmitter {
  static async start(env) {
    const control = net.createServer();
    control.listen(0, '127.0.0.1');
    await once(control, 'listening');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-wine-'));
    const files = { stdout: path.join(dir, 'stdout'), stderr: path.join(dir, 'stderr') };
    const output = [fs.openSync(files.stdout, 'w'), fs.openSync(files.stderr, 'w')];
    const process_ = spawn('/usr/lib/wine/wine64', [process.env.QUILLGATE_WINE_NODE,
      `Z:${path.join(__dirname, 'gateway-child.js').replaceAll('/', '\\')}`], {
      env: { ...process.env, ...env, WINEDEBUG: '-all', QUILLGATE_ADDON: process.env.QUILLGATE_WINE_ADDON,
        QUILLGATE_TEST_CONTROL: String(control.address().port) },
      stdio: ['ignore', ...output],
    });
    output.forEach((fd) => fs.closeSync(fd));
    const child = new WineChild(process_, files, dir);
    const [socket] = await Promise.race([once(control, 'connection'),
      once(process_, 'exit').then(([code]) => {
        throw new Error(`node.exe under Wine exited with ${code}: ${child.errors}`);
      })]);
    control.close();
    child.attach(socket);
    return child;
  }

  constructor(process_, files, dir) {
    super();
    this.process = process_;
    this.stdout = new EventEmitter();
    this.stderr = new EventEmitter();
    this.errors = '';
    this.stderr.on('data', (text) => (this.errors += text));
    const offsets = { stdout: 0, stderr: 0 };
    // A read may end inside a character that is still being written.
    const decoders = { stdout: new StringDecoder('utf8'), stderr: new StringDecoder('utf8') };
    const poll = () => {
      for (const name of ['stdout', 'stderr']) {
        const data = fs.readFileSync(files[name]);
        if (data.length > offsets[name]) this[name].emit('data', decoders[name].write(data.subarray(offsets[name])));
        offsets[name] = data.length;
      }
    };
    const timer = setInterval(poll, 20);
    process_.on('exit', (code, signal) => {
      clearInterval(timer);
      poll();
      fs.rmSync(dir, { recursive: true, force: true });
      this.emit('exit', code, signal);
    });
  }

  attach(socket) {
    this.socket = socket;
    let buffered = '';
    socket.setEncoding('utf8');
    socket.on('error', () => {});
    socket.on('data', (text) => {
      const lines = (buffered + text).split('\n');
      buffered = lines.pop();
      for (const line of lines) this.emit('message', JSON.parse(line));
    });
  }

  send(message) {
    this.socket.write(`${JSON.stringify(message)}\n`);
  }
}

class Gateway {
  // `env` is the child's environment at its start; `setEnv` is what the host
  // process sets in process.env afterwards, having loaded the addon, before it
  // starts the gateway (as an application does); passed in base64, which
  // reaches a Windows child through Wine unchanged whatever the locale.
  static async start({ env = { QUILLGATE_LOG: '1' }, setEnv } = {}) {
    if (setEnv) env = { ...env, QUILLGATE_TEST_SET_ENV: Buffer.from(JSON.stringify(setEnv)).toString('base64') };
    if (process.env.QUILLGATE_WINE_NODE) {
      const child = await WineChild.start(env);
      const gateway = new Gateway(child);
      gateway.port = (await once(child, 'message'))[0].port;
      return gateway;
    }
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
