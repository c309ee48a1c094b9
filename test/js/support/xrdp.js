'use strict';

// Debian's xrdp as a real RDP server for tests: run in the foreground on a
// loopback port with its own configuration and a key pair made for the run.
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { waitFor } = require('../helpers');

const XRDP = '/usr/sbin/xrdp';
const available = fs.existsSync(XRDP) && fs.existsSync('/etc/xrdp/xrdp.ini');

async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// Resolves once xrdp listens. stop() ends it by its process id (SIGKILL when
// SIGTERM has not ended it within 5 s) and removes its folder.
async function startXrdp() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-xrdp-'));
  try {
    return await startIn(dir);
  } catch (error) {
    fs.rmSync(dir, { recursive: true, force: true });
    throw error;
  }
}

async function startIn(dir) {
  const key = path.join(dir, 'key.pem');
  const cert = path.join(dir, 'cert.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '30', '-subj', '/CN=xrdp.test',
    '-keyout', key, '-out', cert], { stdio: 'ignore' });
  const port = await freePort();
  const log = path.join(dir, 'xrdp.log');
  const settings = {
    port: `tcp://127.0.0.1:${port}`, security_layer: 'tls', ssl_protocols: 'TLSv1.2, TLSv1.3',
    certificate: cert, key_file: key, fork: 'false', LogFile: log, EnableSyslog: 'false',
    // The login window's default width, 350, is drawn sheared by IronRDP's
    // web client (0.11), whose bitmap rows go wrong on widths that are not a
    // multiple of 4.
    ls_width: '352',
  };
  const seen = new Set();
  const ini = fs.readFileSync('/etc/xrdp/xrdp.ini', 'utf8').split('\n').map((line) => {
    const name = line.split('=')[0];
    // Only the first occurrence: later sections have keys of the same names.
    if (name in settings && !seen.has(name)) {
      seen.add(name);
      return `${name}=${settings[name]}`;
    }
    return line;
  }).join('\n');
  const absent = Object.keys(settings).filter((name) => !seen.has(name));
  if (absent.length) throw new Error(`/etc/xrdp/xrdp.ini has no ${absent.join(', ')}`);
  fs.writeFileSync(path.join(dir, 'xrdp.ini'), ini);
  fs.mkdirSync('/run/xrdp/sockdir', { recursive: true });
  const child = spawn(XRDP, ['--nodaemon', '--config', path.join(dir, 'xrdp.ini')], { stdio: 'ignore' });
  // 'close' comes also when the program could not be started at all.
  const exited = new Promise((resolve) => child.once('close', resolve));
  child.on('error', () => {});
  const readLog = () => (fs.existsSync(log) ? fs.readFileSync(log, 'utf8') : '');
  const stop = async () => {
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    await exited;
    clearTimeout(timer);
  };
  try {
    await waitFor(() => readLog().includes('listening to port'), { what: 'xrdp to listen', timeout: 15000 });
  } catch (error) {
    await stop();
    throw error;
  }
  return {
    port,
    pid: child.pid,
    certificate: new crypto.X509Certificate(fs.readFileSync(cert)).raw,
    // Its log so far (connections received are logged at the default level).
    log: readLog,
    async stop() {
      await stop();
      fs.rmSync(dir, { recursive: true, force: true });
    },
    // For a process that is going down on a signal: no waiting.
    kill() {
      child.kill('SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

module.exports = { available, startXrdp, freePort };
