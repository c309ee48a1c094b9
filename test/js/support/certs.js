'use strict';

// Test certificates, made once per process with the openssl tool.
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

let cached;

function make(dir, name, subject, keyArgs) {
  const key = path.join(dir, `${name}.key`);
  const cert = path.join(dir, `${name}.crt`);
  execFileSync('openssl', ['req', '-x509', ...keyArgs, '-nodes', '-days', '30', '-subj', subject,
    '-keyout', key, '-out', cert], { stdio: 'ignore' });
  return { keyFile: key, certFile: cert, key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
}

function certificates() {
  if (cached) return cached;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-certs-'));
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  const ec = make(dir, 'ec', '/CN=another-host.test', ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256']);
  ec.der = new crypto.X509Certificate(ec.cert).raw;
  cached = { dir, ec, rsa: () => make(dir, 'rsa', '/CN=rdp.test', ['-newkey', 'rsa:2048']) };
  return cached;
}

module.exports = { certificates };
