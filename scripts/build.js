#!/usr/bin/env node
// Builds the native addon with CMake. Runs as the package's install script
// and from the set-up of `npm start` / `npm test`; an up-to-date build costs
// only CMake's own check.
//
//   node scripts/build.js [--tests] [--target NAME ...] [--build-dir DIR] [-- extra cmake args]
//
// Builds the addon, plus the named targets; --tests adds the C++ tests.
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

function run(cmd, args) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit' });
  if (result.error) throw new Error(`${cmd}: ${result.error.message}`);
  if (result.status !== 0) process.exit(result.status ?? 1);
}

function main(argv) {
  const extra = [];
  let tests = false;
  const targets = ['quillgate'];
  let buildDir = path.join(root, 'build');
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--tests') tests = true;
    else if (argv[i] === '--build-dir') buildDir = path.resolve(argv[++i]);
    else if (argv[i] === '--target') targets.push(argv[++i]);
    else if (argv[i] === '--') extra.push(...argv.slice(i + 1)), (i = argv.length);
    else throw new Error(`unknown argument ${argv[i]}`);
  }
  const include = require('node-api-headers').include_dir;
  const configured = fs.existsSync(path.join(buildDir, 'CMakeCache.txt'));
  const cache = configured ? fs.readFileSync(path.join(buildDir, 'CMakeCache.txt'), 'utf8') : '';
  const wantTests = tests || /QUILLGATE_TESTS:BOOL=ON/.test(cache);
  if (!configured || wantTests !== /QUILLGATE_TESTS:BOOL=ON/.test(cache) || extra.length) {
    run('cmake', ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release',
      `-DQUILLGATE_NODE_API_INCLUDE=${include}`, `-DQUILLGATE_TESTS=${wantTests ? 'ON' : 'OFF'}`, ...extra]);
  }
  const jobs = String(Math.max(1, os.availableParallelism ? os.availableParallelism() : os.cpus().length));
  if (tests) targets.push('quillgate_tests');
  run('cmake', ['--build', buildDir, '--parallel', jobs, '--target', ...targets]);
}

main(process.argv.slice(2));
