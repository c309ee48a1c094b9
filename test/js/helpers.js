'use strict';

const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');

const root = path.resolve(__dirname, '..', '..');

async function waitFor(predicate, { timeout = 10000, interval = 10, what = 'condition' } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, interval));
  }
}

function connectRaw(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.once('error', reject);
  });
}

// Resolves when the peer has closed the socket (end or error).
function closedByPeer(socket) {
  return new Promise((resolve) => {
    if (socket.destroyed || socket.readableEnded) return resolve();
    socket.on('error', () => {});
    socket.once('close', resolve);
    socket.resume();
  });
}

// Runs a Node.js script in a child process; resolves with its exit code and output.
function runNode(args, { env = {}, input, timeout = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, args, { cwd: root, env: { ...process.env, ...env } });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => (stdout += d));
    child.stderr.on('data', (d) => (stderr += d));
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`child timed out; stderr: ${stderr}`));
    }, timeout);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr });
    });
    if (input !== undefined) child.stdin.end(input);
  });
}

module.exports = { root, waitFor, connectRaw, closedByPeer, runNode };
