'use strict';

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const path = require('node:path');

// Starts host-child.js under `ulimit -n <limit>` (or the hard limit).
async function startHost({ fdLimit = 'hard', env = {} } = {}) {
  const limit = fdLimit === 'hard' ? '$(ulimit -Hn)' : String(fdLimit);
  const child = spawn('sh', ['-c', `ulimit -n ${limit} && exec "$0" "$1"`, process.execPath,
    path.join(__dirname, 'host-child.js')], {
    stdio: ['ignore', 'pipe', 'pipe', 'ipc'],
    env: { ...process.env, ...env },
  });
  child.output = { stdout: '', stderr: '' };
  child.stdout.on('data', (d) => (child.output.stdout += d));
  child.stderr.on('data', (d) => (child.output.stderr += d));
  const pending = new Map();
  let next = 0;
  child.on('message', (m) => {
    if (m.ready) return;
    const { resolve, reject } = pending.get(m.id);
    pending.delete(m.id);
    if (m.error) reject(Object.assign(new Error(m.error.message), { code: m.error.code }));
    else resolve(m.value);
  });
  await once(child, 'message');
  child.call = (command) => new Promise((resolve, reject) => {
    const id = next++;
    pending.set(id, { resolve, reject });
    child.send({ id, command });
  });
  child.exit = async () => {
    child.disconnect();
    const [code, signal] = child.exitCode !== null ? [child.exitCode, null] : await once(child, 'exit');
    return { code, signal };
  };
  return child;
}

module.exports = { startHost };
