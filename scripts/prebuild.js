#!/usr/bin/env node
// Puts this platform's distributable binary into prebuilds/ for the length of
// `npm pack` / `npm publish` (the prepack script), and removes it afterwards
// (postpack with --clean), so that a working tree never holds a stale one.
// On Linux x64 it adds the Windows x64 binary, cross-built with MinGW-w64
// (scripts/build-win32.js), and the Linux arm64 one, cross-built with
// g++-aarch64-linux-gnu (scripts/build-linux-arm64.js). Each cross build is
// kept in its build-* folder, so a pack after `npm test` rebuilds nothing.
//
//   node scripts/prebuild.js [--clean]
//
// The binary is the release build in build/ (configured here as the package
// needs it, so an up-to-date tree costs nothing), stripped of its symbol table.
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { prebuilt, sourceBuild } = require('../lib/native');

const root = path.resolve(__dirname, '..');

// Output goes to standard error: `npm pack --json` prints its report on
// standard output, which the scripts it runs share.
function run(cmd, args) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: ['ignore', 2, 2] });
  if (result.error || result.status !== 0) {
    process.stderr.write(`prebuild: ${cmd} failed${result.error ? `: ${result.error.message}` : ''}\n`);
    process.exit(1);
  }
}

function main(argv) {
  fs.rmSync(path.join(root, 'prebuilds'), { recursive: true, force: true });
  if (argv.includes('--clean')) return;
  if (process.platform !== 'linux') throw new Error(`prebuild: no packaging for ${process.platform} yet`);
  run(process.execPath, [path.join(__dirname, 'build.js'), '--',
    '-DCMAKE_BUILD_TYPE=Release', '-DQUILLGATE_SANITIZE=', '-DCMAKE_CXX_FLAGS=']);
  const cache = fs.readFileSync(path.join(path.dirname(sourceBuild), 'CMakeCache.txt'), 'utf8');
  const strip = (/^CMAKE_STRIP:FILEPATH=(.+)$/m.exec(cache) || [])[1] || 'strip';
  const target = prebuilt();
  fs.mkdirSync(path.dirname(target), { recursive: true });
  run(strip, ['--strip-unneeded', '-o', target, sourceBuild]);

  if (process.arch === 'x64') {
    for (const [name, platform, arch, strip] of [
      ['win32', 'win32', 'x64', 'x86_64-w64-mingw32-strip'],
      ['linux-arm64', 'linux', 'arm64', 'aarch64-linux-gnu-strip'],
    ]) {
      const [script, dir] = [`build-${name}.js`, path.join(root, `build-${name}`)];
      run(process.execPath, [path.join(__dirname, script), '--build-dir', dir]);
      const file = prebuilt(platform, arch);
      fs.mkdirSync(path.dirname(file), { recursive: true });
      run(strip, ['--strip-unneeded', '-o', file, path.join(dir, 'quillgate.node')]);
    }
  }
}

main(process.argv.slice(2));
