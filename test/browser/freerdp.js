'use strict';

// FreeRDP's shadow server as an RDP server that checks credentials with
// Network Level Authentication (CredSSP with NTLM), as Windows servers do by
// default: it shares a virtual X screen (Xvfb) on which one window fills
// the screen in a colour the test can look for. Each process is stopped by
// its process id.
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { waitFor } = require('../js/helpers');
const { freePort } = require('../js/support/xrdp');

const PROGRAMS = { Xvfb: '/usr/bin/Xvfb', 'freerdp-shadow-cli': '/usr/bin/freerdp-shadow-cli',
  'winpr-hash': '/usr/bin/winpr-hash', xmessage: '/usr/bin/xmessage' };
const missing = () => Object.entries(PROGRAMS).filter(([, file]) => !fs.existsSync(file)).map(([name]) => name);

// The desktop's colour, as the shadowed window shows it.
const DESKTOP = [0x2a, 0x6f, 0xdb];

function startProcess(file, args, options = {}) {
  const child = spawn(file, args, { stdio: ['ignore', 'ignore', 'pipe'], ...options });
  let stderr = '';
  child.stderr.on('data', (d) => (stderr += d));
  child.on('error', () => {});
  // 'close' comes also when the program could not be started at all.
  const exited = new Promise((resolve) => child.once('close', resolve));
  return {
    child,
    stderr: () => stderr,
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      await exited;
      clearTimeout(timer);
    },
  };
}

// Resolves once the server listens on 127.0.0.1 (and nowhere else), with
// { port, stop(), kill() }. `user` and `password` are the only account.
async function startShadow({ user, password, width = 1024, height = 768 }) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-shadow-'));
  const processes = [];
  const stop = async () => {
    for (const p of processes.reverse()) await p.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    fs.writeFileSync(path.join(dir, 'sam'), execFileSync(PROGRAMS['winpr-hash'], ['-u', user, '-p', password, '-f', 'sam']));
    // -displayfd: Xvfb picks a free display and writes its number to the pipe.
    const xvfb = startProcess(PROGRAMS.Xvfb, ['-displayfd', '3', '-screen', '0', `${width}x${height}x24`, '-nolisten', 'tcp'],
      { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
    processes.push(xvfb);
    let number = '';
    xvfb.child.stdio[3].on('data', (d) => (number += d));
    await waitFor(() => number.includes('\n') || xvfb.child.exitCode !== null, { what: 'Xvfb to start', timeout: 15000 });
    if (!number.includes('\n')) throw new Error(`Xvfb did not start: ${xvfb.stderr()}`);
    const env = { ...process.env, DISPLAY: `:${number.trim()}` };
    const hex = DESKTOP.map((c) => c.toString(16).padStart(2, '0')).join('');
    processes.push(startProcess(PROGRAMS.xmessage, ['-geometry', `${width}x${height}+0+0`, '-bg', `#${hex}`, '-fg', 'white',
      '-buttons', '', 'quillgate: the shadowed desktop'], { env }));
    const port = await freePort();
    const shadow = startProcess(PROGRAMS['freerdp-shadow-cli'], ['/bind-address:127.0.0.1', `/port:${port}`, '/sec:nla',
      `/sam-file:${path.join(dir, 'sam')}`], { env });
    processes.push(shadow);
    const listening = () => new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => resolve(socket.destroy() || true));
      socket.on('error', () => resolve(false));
    });
    await waitFor(async () => shadow.child.exitCode !== null || await listening(),
      { what: 'the shadow server to listen', timeout: 15000, interval: 100 });
    if (shadow.child.exitCode !== null) throw new Error(`freerdp-shadow-cli exited: ${shadow.stderr()}`);
    return {
      port,
      log: () => shadow.stderr(),
      stop,
      // For a process that is going down on a signal: no waiting.
      kill() {
        for (const p of processes) p.child.kill('SIGKILL');
        fs.rmSync(dir, { recursive: true, force: true });
      },
    };
  } catch (error) {
    await stop();
    throw error;
  }
}

module.exports = { missing, startShadow, DESKTOP };
