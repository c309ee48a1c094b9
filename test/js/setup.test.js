'use strict';

// The set-up that `npm start` and `npm test` run installs Debian packages as
// root: it must not leave a service (xrdp's RDP login) running or enabled.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const { aptInstall } = require('../../scripts/setup');

test('packages install while service starts are refused, and their services end up disabled', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-setup-'));
  const policy = path.join(dir, 'policy-rc.d');
  const services = () => [{ kind: 'systemd', name: 'xrdp.service' }, { kind: 'sysv', name: 'xrdp' }];
  try {
    const calls = [];
    const run = (cmd, args) => {
      calls.push(`${[cmd, ...args].join(' ')}${fs.existsSync(policy) && spawnSync(policy).status === 101 ? ' (starts refused)' : ''}`);
      return 0;
    };
    assert.equal(await aptInstall(['xrdp'], { run, policy, services }), true);
    assert.deepEqual(calls, [
      'apt-get update -qq (starts refused)',
      'apt-get -qq install -y --no-install-recommends xrdp (starts refused)',
      'systemctl disable xrdp.service',
      'update-rc.d xrdp disable',
    ]);
    assert.ok(!fs.existsSync(policy));

    // A failed install still removes the guard, and so does the next run
    // after one that was killed; an administrator's own is left alone.
    assert.equal(await aptInstall(['xrdp'], { run: () => 1, policy, services }), false);
    assert.ok(!fs.existsSync(policy));
    await aptInstall(['xrdp'], { run: (cmd) => (cmd === 'apt-get' && fs.copyFileSync(policy, `${policy}.left`), 0), policy, services });
    fs.renameSync(`${policy}.left`, policy);
    await aptInstall(['xrdp'], { run: () => 0, policy, services });
    assert.ok(!fs.existsSync(policy));
    fs.writeFileSync(policy, '#!/bin/sh\nexit 0\n');
    await aptInstall(['xrdp'], { run: () => 0, policy, services });
    assert.equal(fs.readFileSync(policy, 'utf8'), '#!/bin/sh\nexit 0\n');
    fs.rmSync(policy);

    // A hang-up while apt-get runs: the set-up waits for it, removes the
    // policy and ends by the signal. Killed outright, it leaves a policy
    // that no longer refuses anything.
    const child = spawn(process.execPath, ['-e', `require(${JSON.stringify(require.resolve('../../scripts/setup'))})
      .aptInstall(['xrdp'], { policy: ${JSON.stringify(policy)}, services: () => [],
        run: () => (console.log('running'), new Promise((done) => setTimeout(() => done(0), 500))) })
      .then(() => console.log('went on'))`], { stdio: ['ignore', 'pipe', 'inherit'] });
    await once(child.stdout, 'data');
    child.kill('SIGHUP');
    let out = '';
    child.stdout.on('data', (data) => (out += data));
    assert.deepEqual(await once(child, 'exit'), [null, 'SIGHUP']);
    assert.equal(out, '');
    assert.ok(!fs.existsSync(policy));
    const killed = spawn(process.execPath, ['-e', `require(${JSON.stringify(require.resolve('../../scripts/setup'))})
      .aptInstall(['xrdp'], { policy: ${JSON.stringify(policy)}, run: () => (console.log('running'), new Promise(() => setInterval(() => {}, 1000))) })`],
    { stdio: ['ignore', 'pipe', 'inherit'] });
    await once(killed.stdout, 'data');
    assert.equal(spawnSync(policy).status, 101);
    // A second set-up waits while the first one's policy holds, and takes
    // over a policy left by one that was killed.
    let second = 'waiting';
    const installing = aptInstall(['xrdp'], { policy, services: () => [],
      run: () => ((second = fs.readFileSync(policy, 'utf8').includes(`# owner ${process.pid} `) ? 'own policy' : 'other policy'), 0) });
    await new Promise((resolve) => setTimeout(resolve, 700));
    assert.equal(second, 'waiting');
    killed.kill('SIGKILL');
    await once(killed, 'exit');
    assert.equal(spawnSync(policy).status, 0);
    assert.equal(await installing, true);
    assert.equal(second, 'own policy');
    assert.ok(!fs.existsSync(policy));
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// The cross builds' OpenSSL: the cached one only while apt names it current,
// the newest cached one (with one line) while apt cannot be asked.
test('a cross build takes the OpenSSL version apt names current, and the cache only when apt cannot answer', (t) => {
  const { currentOpenSSL } = require('../../scripts/cross');
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-cache-'));
  const saved = process.env.XDG_CACHE_HOME;
  process.env.XDG_CACHE_HOME = home;
  const folder = (version) => path.join(home, 'quillgate', `openssl-t-${version}`);
  const cache = (version) => {
    for (const f of ['include/openssl/ssl.h', 'lib/libssl.a', 'lib/libcrypto.a']) {
      fs.mkdirSync(path.dirname(path.join(folder(version), f)), { recursive: true });
      fs.writeFileSync(path.join(folder(version), f), '');
    }
    return folder(version);
  };
  const log = t.mock.method(console, 'log', () => {}).mock;
  const filled = [];
  const choose = (apt, more) => currentOpenSSL({ prefix: 'openssl-t-', pattern: /^\d+\.\d+\.\d+$/,
    compare: (a, b) => a.localeCompare(b, 'en', { numeric: true }), what: 'test', options: [],
    candidate: { cmd: 'apt-cache', args: [], parse: (out) => out.trim() },
    fill: (older) => (filled.push(older), cache('3.0.22')), query: apt, ...more });
  try {
    cache('3.0.9');
    const current = () => ({ ok: true, out: '3.0.22\n' });
    assert.equal(choose(current), folder('3.0.22'));
    assert.deepEqual(filled, ['3.0.9']);
    assert.ok(!fs.existsSync(folder('3.0.9')));
    assert.equal(choose(current), folder('3.0.22'));
    assert.equal(filled.length, 1);

    const offline = () => ({ ok: false, out: '', why: 'Could not connect' });
    assert.equal(choose(offline), folder('3.0.22'));
    assert.deepEqual(log.calls.map((c) => c.arguments[0]),
      ['quillgate: could not check which OpenSSL for test is current (Could not connect); using the cached 3.0.22']);
    fs.rmSync(folder('3.0.22'), { recursive: true });
    assert.throws(() => choose(offline), /could not find which OpenSSL for test is current: Could not connect/);

    // Keyed by configuration: only a folder built with this one is taken.
    // Folders of the current version built otherwise stay (a build alongside
    // may be using one); older versions go, whatever their configuration.
    const { cachedName, fillCache } = require('../../scripts/cross');
    const keyed = (version, configuration) => path.join(home, 'quillgate', cachedName('openssl-t-', version, configuration));
    const build = (version, configuration) => fillCache((work) => {
      for (const f of ['include/openssl/ssl.h', 'lib/libssl.a', 'lib/libcrypto.a']) {
        fs.mkdirSync(path.dirname(path.join(work, 'out', f)), { recursive: true });
        fs.writeFileSync(path.join(work, 'out', f), '');
      }
      return { staged: path.join(work, 'out'), name: cachedName('openssl-t-', version, configuration) };
    }, configuration);
    const [mine, theirs] = ['no-a\nno-b\n', 'no-a\n'];
    cache('3.0.22');
    build('3.0.9', mine);
    build('3.0.9', theirs);
    build('3.0.22', theirs);
    filled.length = 0;
    const chooseKeyed = (apt) => choose(apt, { configuration: mine, fill: (older) => (filled.push(older), build('3.0.22', mine)) });
    assert.equal(chooseKeyed(current), keyed('3.0.22', mine));
    assert.deepEqual(filled, ['3.0.9']);
    assert.deepEqual(fs.readdirSync(path.join(home, 'quillgate')).sort(),
      [keyed('3.0.22', mine), keyed('3.0.22', theirs), folder('3.0.22')].map((d) => path.basename(d)).sort());
    assert.equal(chooseKeyed(current), keyed('3.0.22', mine));
    assert.equal(filled.length, 1);
    // A folder of that name holding another configuration is not taken.
    fs.writeFileSync(path.join(keyed('3.0.22', mine), 'configuration.txt'), theirs);
    assert.throws(() => chooseKeyed(offline), /could not find which OpenSSL for test is current/);
    assert.equal(chooseKeyed(current), keyed('3.0.22', mine));
    assert.equal(filled.length, 2);
    assert.equal(fs.readFileSync(path.join(keyed('3.0.22', mine), 'configuration.txt'), 'utf8'), mine);
    assert.equal(chooseKeyed(offline), keyed('3.0.22', mine));
  } finally {
    if (saved === undefined) delete process.env.XDG_CACHE_HOME;
    else process.env.XDG_CACHE_HOME = saved;
    fs.rmSync(home, { recursive: true, force: true });
  }
});
