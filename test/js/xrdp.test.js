'use strict';

// Through the gateway to a real RDP server: Debian's xrdp, run in the
// foreground on a loopback port with its own configuration and a key pair
// made for the run.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { Gateway } = require('./support/gateway');
const { request, parseResponse, X224_REQUEST } = require('./support/der');
const { waitFor } = require('./helpers');

const XRDP = '/usr/sbin/xrdp';
const available = fs.existsSync(XRDP) && fs.existsSync('/etc/xrdp/xrdp.ini');
if (!available) console.log('# xrdp.test.js: SKIPPED: xrdp is not installed (apt-get install --no-install-recommends xrdp)');

async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

async function startXrdp() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-xrdp-'));
  const key = path.join(dir, 'key.pem');
  const cert = path.join(dir, 'cert.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '30', '-subj', '/CN=xrdp.test',
    '-keyout', key, '-out', cert], { stdio: 'ignore' });
  const port = await freePort();
  const log = path.join(dir, 'xrdp.log');
  const settings = {
    port: `tcp://127.0.0.1:${port}`, security_layer: 'tls', ssl_protocols: 'TLSv1.2, TLSv1.3',
    certificate: cert, key_file: key, fork: 'false', LogFile: log, EnableSyslog: 'false',
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
  fs.writeFileSync(path.join(dir, 'xrdp.ini'), ini);
  fs.mkdirSync('/run/xrdp/sockdir', { recursive: true });
  const child = spawn(XRDP, ['--nodaemon', '--config', path.join(dir, 'xrdp.ini')], { stdio: 'ignore' });
  const ready = () => fs.existsSync(log) && fs.readFileSync(log, 'utf8').includes(`listening to port`);
  await waitFor(ready, { what: 'xrdp to listen', timeout: 15000 });
  return {
    port,
    certificate: new crypto.X509Certificate(fs.readFileSync(cert)).raw,
    stop() {
      child.kill('SIGTERM');
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

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
    xrdp.stop();
  }
});
