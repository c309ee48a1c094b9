'use strict';

// MIT Kerberos for tests: a private realm with its own KDC in the
// foreground on a loopback port, and kinit speaking MS-KKDCP (HTTPS only, so
// the caller puts a TLS front before the gateway's plain HTTP endpoint).
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFile, execFileSync } = require('node:child_process');
const { waitFor } = require('../helpers');

const TOOLS = ['/usr/sbin/krb5kdc', '/usr/sbin/kdb5_util', '/usr/sbin/kadmin.local', '/usr/bin/kinit', '/usr/bin/klist'];
// kinit's HTTPS transport is a plugin of its own (Debian: krb5-k5tls).
const k5tls = () => fs.readdirSync('/usr/lib').some((dir) => fs.existsSync(`/usr/lib/${dir}/krb5/plugins/tls/k5tls.so`));
const available = TOOLS.every((tool) => fs.existsSync(tool)) && k5tls();
const PACKAGES = 'krb5-kdc krb5-admin-server krb5-user krb5-k5tls';

async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// Starts a KDC for `realm` with `principals` ({ name: password }, each
// requiring pre-authentication, as Active Directory does); resolves
// once it listens. stop() ends it by its process id and removes its folder.
async function startRealm({ realm = 'QUILLGATE.TEST', principals = {} } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-krb5-'));
  const port = await freePort();
  fs.writeFileSync(path.join(dir, 'kdc.conf'), `[kdcdefaults]
 kdc_listen = 127.0.0.1:${port}
 kdc_tcp_listen = 127.0.0.1:${port}
[realms]
 ${realm} = {
  database_name = ${dir}/principal
  key_stash_file = ${dir}/stash
  acl_file = ${dir}/kadm5.acl
 }
[logging]
 kdc = FILE:${dir}/kdc.log
`);
  fs.writeFileSync(path.join(dir, 'kadm5.acl'), '');
  fs.writeFileSync(path.join(dir, 'krb5.conf'), `[libdefaults]
 default_realm = ${realm}
[realms]
 ${realm} = {
  kdc = 127.0.0.1:${port}
 }
`);
  const env = { ...process.env, KRB5_KDC_PROFILE: path.join(dir, 'kdc.conf'), KRB5_CONFIG: path.join(dir, 'krb5.conf') };
  let kdc;
  const stop = async () => {
    if (kdc && kdc.exitCode === null && kdc.signalCode === null) {
      const exited = new Promise((resolve) => kdc.once('exit', resolve));
      kdc.kill('SIGTERM');
      const timer = setTimeout(() => kdc.kill('SIGKILL'), 5000);
      await exited;
      clearTimeout(timer);
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    const quiet = { env, stdio: 'ignore', timeout: 30000 };
    execFileSync('/usr/sbin/kdb5_util', ['create', '-s', '-r', realm, '-P', 'master password'], quiet);
    for (const [name, password] of Object.entries(principals)) {
      execFileSync('/usr/sbin/kadmin.local', ['-r', realm, '-q', `addprinc +requires_preauth -pw ${password} ${name}`], quiet);
    }
    kdc = spawn('/usr/sbin/krb5kdc', ['-n', '-r', realm], { env, stdio: 'ignore' });
    const log = () => { try { return fs.readFileSync(path.join(dir, 'kdc.log'), 'utf8'); } catch { return ''; } };
    await waitFor(() => kdc.exitCode !== null || log().includes('commencing operation'), { what: 'krb5kdc to start', timeout: 15000 });
    if (kdc.exitCode !== null) throw new Error(`krb5kdc exited with ${kdc.exitCode}: ${log()}`);
  } catch (error) {
    await stop();
    throw error;
  }

  return {
    realm,
    port,
    dir,
    stop,
    kill: () => kdc.kill('SIGKILL'),
    log: () => fs.readFileSync(path.join(dir, 'kdc.log'), 'utf8'),
    // Runs kinit for `principal` with `password` against the KDC at `url`
    // (https://...), trusting the certificate in `anchor`; resolves with its
    // exit code, output and the credentials klist then lists.
    async kinit({ principal, password, url, anchor }) {
      const run = fs.mkdtempSync(path.join(dir, 'kinit-'));
      fs.writeFileSync(path.join(run, 'krb5.conf'), `[libdefaults]
 default_realm = ${realm}
 dns_lookup_kdc = false
 dns_lookup_realm = false
[realms]
 ${realm} = {
  kdc = ${url}
  http_anchors = FILE:${anchor}
 }
`);
      const clientEnv = { ...process.env, KRB5_CONFIG: path.join(run, 'krb5.conf'), KRB5CCNAME: `FILE:${run}/ccache`,
        KRB5_TRACE: path.join(run, 'trace') };
      const result = await new Promise((resolve) => {
        const child = execFile('/usr/bin/kinit', [principal], { env: clientEnv, timeout: 60000 },
          (error, stdout, stderr) => resolve({ code: error ? error.code ?? error.signal : 0, output: stdout + stderr }));
        child.stdin.end(`${password}\n`);
      });
      const listed = await new Promise((resolve) => execFile('/usr/bin/klist', [], { env: clientEnv, timeout: 30000 },
        (error, stdout) => resolve(error ? '' : stdout)));
      let trace = '';
      try { trace = fs.readFileSync(path.join(run, 'trace'), 'utf8'); } catch {}
      return { ...result, listed, trace };
    },
  };
}

// A TLS-terminating front on 127.0.0.1 before `targetPort`, with a
// certificate made for 127.0.0.1 (its file is `anchor`): each connection is
// piped to a connection of its own to the target.
async function startTlsFront(targetPort) {
  const tls = require('node:tls');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-front-'));
  const [key, anchor] = [path.join(dir, 'key.pem'), path.join(dir, 'cert.pem')];
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-days', '30',
    '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', anchor], { stdio: 'ignore' });
  const sockets = new Set();
  const server = tls.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(anchor) }, (front) => {
    const back = net.connect(targetPort, '127.0.0.1');
    for (const s of [front, back]) {
      sockets.add(s);
      s.on('close', () => sockets.delete(s));
      s.on('error', () => (front.destroy(), back.destroy()));
    }
    front.pipe(back).pipe(front);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    anchor,
    close: () => new Promise((resolve) => {
      for (const s of sockets) s.destroy();
      server.close(() => (fs.rmSync(dir, { recursive: true, force: true }), resolve()));
    }),
  };
}

module.exports = { available, PACKAGES, startRealm, startTlsFront };
