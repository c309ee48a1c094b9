#!/usr/bin/env node
// Brings a machine up to what `npm start`, `npm test` or `npm run bench`
// needs, doing only what is missing: Debian packages (installed when run as
// root, otherwise the command is printed), npm dependencies, the native build.
//
//   node scripts/setup.js run|test|bench
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

const packages = {
  run: ['cmake', 'make', 'g++', 'libboost1.81-dev', 'libssl-dev'],
  // Tests add GoogleTest, clang's libFuzzer runtime for the fuzz targets,
  // the openssl tool for test certificates, binutils for the export check,
  // xrdp as a real RDP server, chromium to run a browser RDP client,
  // MinGW-w64, perl (OpenSSL's Configure) and Wine for the Windows addon, and
  // the arm64 cross compiler (with its C and C++ libraries) and qemu-user
  // (qemu-aarch64) for the Linux arm64 addon, and MIT Kerberos (a KDC, its
  // database tools, kinit, and the TLS module kinit needs to speak to a KDC
  // proxy) for the Kerberos test, and FreeRDP's shadow server with a
  // virtual X screen for it to share (its SAM file from winpr-hash, a
  // window on the screen from x11-utils' xmessage) as a server that checks
  // credentials with Network Level Authentication.
  test: ['libgtest-dev', 'clang-14', 'libclang-rt-14-dev', 'openssl', 'binutils', 'xrdp', 'chromium',
    'g++-mingw-w64-x86-64', 'perl', 'wine64', 'g++-aarch64-linux-gnu', 'qemu-user',
    'krb5-kdc', 'krb5-admin-server', 'krb5-user', 'krb5-k5tls',
    'freerdp2-shadow-x11', 'winpr-utils', 'xvfb', 'x11-utils'],
  bench: ['openssl'],
};

function sh(cmd, args, options = {}) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit', ...options });
  if (result.error) {
    console.error(`setup: could not run ${cmd}: ${result.error.message}`);
    return 127;
  }
  return result.status;
}

// The same, without blocking: signals reach their handlers while it runs.
function shAsync(cmd, args, options = {}) {
  return new Promise((resolve) => {
    const child = spawn(cmd, args, { cwd: root, stdio: 'inherit', ...options });
    child.on('error', (error) => {
      console.error(`setup: could not run ${cmd}: ${error.message}`);
      resolve(127);
    });
    child.on('exit', (code) => resolve(code ?? 1));
  });
}

// Set-up output (apt-get, npm, the compiler) goes to build-logs/<name>.log;
// the terminal gets one line per task, and the log's tail when one fails.
const logDir = path.join(root, 'build-logs');

function openLog(name) {
  fs.mkdirSync(logDir, { recursive: true });
  const file = path.join(logDir, `${name}.log`);
  return { file, shown: path.relative(process.cwd(), file) || file, fd: fs.openSync(file, 'w') };
}

function failWithLog(log, what) {
  fs.closeSync(log.fd);
  const lines = fs.readFileSync(log.file, 'utf8').trimEnd().split('\n');
  console.error(`${lines.slice(-30).join('\n')}\nsetup: ${what} failed (whole output: ${log.shown})`);
  process.exit(1);
}

function missingPackages(names) {
  if (spawnSync('dpkg-query', ['--version'], { stdio: 'ignore' }).error) {
    console.error(`setup: not a Debian system (no dpkg-query): make sure these, or your distribution's ` +
      `equivalents, are installed: ${names.join(' ')}`);
    return [];
  }
  return names.filter((name) => {
    const r = spawnSync('dpkg-query', ['-W', '-f=${Status}', name], { encoding: 'utf8' });
    return r.status !== 0 || !r.stdout.includes('install ok installed');
  });
}

// The OpenSSL that the native build links in statically, and so every binary
// built here carries: one behind the version apt offers lacks Debian's
// latest fixes, so it is brought up to date like a missing package.
const keptCurrent = ['libssl-dev'];

function outdatedPackages(names) {
  return names.filter((name) => keptCurrent.includes(name)).filter((name) => {
    const r = spawnSync('apt-cache', ['policy', name], { encoding: 'utf8', env: { ...process.env, LC_ALL: 'C' } });
    const installed = /Installed: (\S+)/.exec(r.stdout || '')?.[1];
    const candidate = /Candidate: (\S+)/.exec(r.stdout || '')?.[1];
    return installed && candidate && installed !== '(none)' && candidate !== '(none)' && installed !== candidate;
  });
}

// The services a package would start at boot: its systemd units and
// System V scripts.
function servicesOf(name) {
  const r = spawnSync('dpkg-query', ['-L', name], { encoding: 'utf8' });
  if (r.status !== 0) return [];
  return r.stdout.split('\n').flatMap((file) => {
    const unit = /^\/(?:usr\/)?lib\/systemd\/system\/([^/]+\.service)$/.exec(file);
    if (unit) return [{ kind: 'systemd', name: unit[1] }];
    const script = /^\/etc\/init\.d\/([^/]+)$/.exec(file);
    return script ? [{ kind: 'sysv', name: script[1] }] : [];
  });
}

// Installs Debian packages without starting or enabling the services they
// bring: xrdp would otherwise run an RDP login service on every interface
// of a machine with an init system (the tests run their own xrdp in the
// foreground). A policy-rc.d that refuses every start is in place for the
// install only, and the services the packages enabled are disabled again.
// The policy refuses only while the set-up that wrote it runs (the same
// process: its pid and start time), so one left behind by a set-up that was
// killed outright stops nothing, and the next set-up removes it. Set-ups
// install one at a time: a second one waits for the first one's policy.
const policyMark = '# quillgate set-up: no service starts while it installs packages';
const defaultPolicy = '/usr/sbin/policy-rc.d';
const signals = ['SIGINT', 'SIGTERM', 'SIGHUP'];

// When process `pid` started (field 22 of /proc/PID/stat, in clock ticks
// since boot), which tells it from a later process given the same pid; null
// when there is none.
function startTime(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2).split(' ')[19];
  } catch {
    return null;
  }
}

function policyText() {
  const [pid, started] = [process.pid, startTime(process.pid)];
  return `#!/bin/sh\n${policyMark}\n# owner ${pid} ${started}\n` +
    `s=$(cat /proc/${pid}/stat 2>/dev/null) || exit 0\nset -- \${s##*) }\nshift 19\n` +
    `[ "$1" = "${started}" ] && exit 101\nexit 0\n`;
}

// Clears the way for a policy of ours: null when there is no policy (one
// left by a set-up that has ended is removed), 'admin' for one that is not
// ours, 'set-up' for one of another set-up that still runs.
function clearPolicy(policy = defaultPolicy) {
  let text;
  try {
    text = fs.readFileSync(policy, 'utf8');
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
  if (!text.includes(policyMark)) return 'admin';
  const [, pid, started] = /^# owner (\d+) (\d+)$/m.exec(text) || [];
  if (pid && Number(pid) !== process.pid && startTime(pid) === started) return 'set-up';
  fs.rmSync(policy, { force: true });
  return null;
}

// Puts our policy in place, once no other set-up's is; false when the
// administrator has one of their own (which is left as it is).
async function placePolicy(policy, text) {
  for (let told = false; ;) {
    const holder = clearPolicy(policy);
    if (holder === 'admin') return false;
    if (holder === null) {
      try {
        fs.writeFileSync(policy, text, { mode: 0o755, flag: 'wx' });
        return true;
      } catch (error) {
        if (error.code !== 'EEXIST') throw error;
        continue;
      }
    }
    if (!told) console.error('setup: waiting for another set-up to finish installing packages');
    told = true;
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
}

async function aptInstall(names, { run = shAsync, policy = defaultPolicy, services = servicesOf, stdio = 'inherit' } = {}) {
  const env = { ...process.env, DEBIAN_FRONTEND: 'noninteractive' };
  const text = policyText();
  const ours = await placePolicy(policy, text);
  // Ctrl-C or a hang-up reaches apt-get too; this process waits for it to
  // end and removes the policy, then ends by the same signal. A signal sent
  // to this process alone does the same once apt-get has finished.
  let caught;
  const hold = (name) => (caught = name);
  for (const signal of signals) process.on(signal, hold);
  try {
    if (await run('apt-get', ['update', '-qq'], { env, stdio }) !== 0 || caught) return false;
    if (await run('apt-get', ['-qq', 'install', '-y', '--no-install-recommends', ...names], { env, stdio }) !== 0) return false;
  } finally {
    for (const signal of signals) process.off(signal, hold);
    try {
      if (ours && fs.readFileSync(policy, 'utf8') === text) fs.rmSync(policy);
    } catch {}
    if (caught) process.kill(process.pid, caught);
  }
  for (const service of names.flatMap((name) => services(name))) {
    // Either tool may be missing, and works without a running init system.
    if (service.kind === 'systemd') await run('systemctl', ['disable', service.name], { stdio: 'ignore' });
    else await run('update-rc.d', [service.name, 'disable'], { stdio: 'ignore' });
  }
  return true;
}

async function ensurePackages(names) {
  if (process.getuid?.() === 0) clearPolicy();
  const missing = missingPackages(names);
  const outdated = outdatedPackages(names).filter((name) => !missing.includes(name));
  if (missing.length + outdated.length === 0) return;
  const wanted = [...missing, ...outdated];
  const install = ['install', '-y', '--no-install-recommends', ...wanted];
  if (typeof process.getuid === 'function' && process.getuid() === 0) {
    const log = openLog('setup-packages');
    const what = [missing.length ? `installing ${missing.join(' ')}` : '', outdated.length ? `updating ${outdated.join(' ')}` : '']
      .filter(Boolean).join(', ');
    console.error(`setup: ${what} (log: ${log.shown})`);
    if (!await aptInstall(wanted, { stdio: ['ignore', log.fd, log.fd] })) failWithLog(log, 'apt-get');
    fs.closeSync(log.fd);
    return;
  }
  if (missing.length === 0) {
    // Builds still work; what they link in is older than it should be.
    console.error(`setup: ${outdated.join(' ')} is older than the version Debian offers, and the native build ` +
      `links it in. To update it, run:\n\n  sudo apt-get ${install.join(' ')}\n`);
    return;
  }
  // A plain apt-get starts the servers among the packages (xrdp listens on
  // every interface) and enables them at boot; set-up as root does neither.
  const servers = missing.filter((name) => ['xrdp', 'krb5-kdc', 'krb5-admin-server'].includes(name));
  const stop = servers.length ? ` && sudo systemctl disable --now ${servers.map((n) => n === 'xrdp' ? 'xrdp xrdp-sesman' : n).join(' ')}` : '';
  console.error(`setup: missing Debian packages. Run:\n\n  sudo apt-get update && sudo apt-get ${install.join(' ')}${stop}\n` +
    (servers.length ? `\n(the tests start ${servers.join(', ')} on their own, on loopback; the last command keeps them from running as services)\n` : ''));
  process.exit(1);
}

function ensureNodeModules() {
  const needed = ['node-api-headers', 'ws', 'typescript', 'playwright-core', '@devolutions/iron-remote-desktop',
    '@devolutions/iron-remote-desktop-rdp'];
  if (needed.every((name) => fs.existsSync(path.join(root, 'node_modules', name, 'package.json')))) return;
  const log = openLog('setup-npm');
  console.error(`setup: installing npm dependencies (log: ${log.shown})`);
  // Scripts are skipped here: the build below is the one place that builds.
  const status = sh('npm', ['install', '--no-audit', '--no-fund', '--ignore-scripts'],
    { stdio: ['ignore', log.fd, log.fd] });
  if (status !== 0) failWithLog(log, 'npm install');
  fs.closeSync(log.fd);
}

// The native build: CMake rebuilds only what changed, so a second run costs
// a few seconds and says so.
function build(args) {
  const log = openLog('setup-build');
  if (!fs.existsSync(path.join(root, 'build', 'quillgate.node'))) {
    console.error(`setup: building the native addon, a few minutes the first time (log: ${log.shown})`);
  }
  const started = Date.now();
  const status = sh(process.execPath, [path.join(__dirname, 'build.js'), ...args], { stdio: ['ignore', log.fd, log.fd] });
  if (status !== 0) failWithLog(log, 'the native build');
  fs.closeSync(log.fd);
  const compiled = (fs.readFileSync(log.file, 'utf8').match(/Building CXX object/g) || []).length;
  const seconds = Math.round((Date.now() - started) / 1000);
  console.error(compiled ? `setup: native build: ${compiled} files compiled in ${seconds} s` : 'setup: native build up to date');
}

// The tests' xrdp needs its socket folder, which lives in /run (gone after
// each boot) and only root can make.
function ensureXrdpFolder() {
  const folder = '/run/xrdp/sockdir';
  if (fs.existsSync(folder)) return;
  if (process.getuid?.() === 0) {
    fs.mkdirSync(folder, { recursive: true });
    return;
  }
  console.error(`setup: the tests' xrdp needs ${folder} (made anew after each boot). Run:\n\n  sudo mkdir -p ${folder}\n`);
  process.exit(1);
}

async function main(profile) {
  if (!packages[profile]) throw new Error(`unknown profile ${profile}`);
  const wanted = [...packages.run, ...(profile === 'run' ? [] : packages[profile])];
  await ensurePackages(wanted);
  if (profile === 'test') ensureXrdpFolder();
  ensureNodeModules();
  const buildArgs = { run: [], test: ['--tests', '--target', 'quillbench'], bench: ['--target', 'quillbench'] }[profile];
  build(buildArgs);
}

if (require.main === module) main(process.argv[2] || 'run');

module.exports = { aptInstall };
