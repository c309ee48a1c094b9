#!/usr/bin/env node
// Builds the native addon with CMake. Runs as the package's install script
// (through scripts/install.js) and from the set-up of `npm start` / `npm test`;
// an up-to-date build costs only CMake's own check.
//
//   node scripts/build.js [--tests] [--target NAME ...] [--build-dir DIR] [-- extra cmake args]
//
// Builds the addon, plus the named targets; --tests adds the C++ tests. A
// missing tool or library ends the build with one message naming the package
// to install; a configure that failed is forgotten, so the next run starts
// afresh.
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

function fail(message) {
  process.stderr.write(`${message}\n`);
  process.exit(1);
}

function onPath(name) {
  if (name.includes('/')) return fs.existsSync(name);
  return (process.env.PATH || '').split(path.delimiter).some((dir) => {
    try {
      fs.accessSync(path.join(dir || '.', name), fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
}

// The tools this script and CMake's default generator run, each with the
// packages that provide it.
function checkTools() {
  const compiler = process.env.CXX ? [process.env.CXX.split(' ')[0]] : ['c++', 'g++', 'clang++'];
  const ninja = /ninja/i.test(process.env.CMAKE_GENERATOR || '');
  const tools = [
    { names: ['cmake'], what: 'CMake (3.20 or later)', debian: 'cmake', fedora: 'cmake' },
    { names: compiler, what: 'a C++20 compiler', debian: 'g++', fedora: 'gcc-c++' },
    ninja ? { names: ['ninja'], what: 'Ninja', debian: 'ninja-build', fedora: 'ninja-build' }
      : { names: ['make', 'gmake'], what: 'make', debian: 'make', fedora: 'make' },
  ];
  const missing = tools.filter((tool) => !tool.names.some(onPath));
  if (missing.length) {
    fail(missing.map((tool) => `quillgate: ${tool.what} is needed to build from source and was not found ` +
      `(${tool.names.join(', ')}); install it: Debian/Ubuntu: ${tool.debian}, Fedora: ${tool.fedora}`).join('\n'));
  }
}

function run(cmd, args) {
  const result = spawnSync(cmd, args, { cwd: root, stdio: 'inherit' });
  if (result.error) fail(`quillgate: ${cmd}: ${result.error.message}`);
  if (result.status !== 0) process.exit(result.status ?? 1);
}

// CMake's output is shown as it is, except when the configure fails on a
// missing dependency: then only the lines CMakeLists.txt writes about it.
function configure(buildDir, args) {
  const result = spawnSync('cmake', args, { cwd: root, encoding: 'utf8', maxBuffer: 64 << 20 });
  if (result.error) fail(`quillgate: cmake: ${result.error.message}`);
  if (result.status === 0) {
    process.stdout.write(result.stdout);
    process.stderr.write(result.stderr);
    return;
  }
  // A cache left by a failed configure would make the next run skip
  // configuring, or keep a wrong value found this time.
  fs.rmSync(path.join(buildDir, 'CMakeCache.txt'), { force: true });
  const ours = result.stderr.split('\n').filter((line) => line.startsWith('quillgate: '));
  if (ours.length) fail(ours.join('\n'));
  process.stdout.write(result.stdout);
  fail(`${result.stderr}quillgate: CMake could not configure the build (see above)`);
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
    else fail(`quillgate: build.js: unknown argument ${argv[i]}`);
  }
  checkTools();
  let include;
  try {
    include = require('node-api-headers').include_dir;
  } catch {
    fail('quillgate: the npm package node-api-headers is missing; run `npm install` in the package first');
  }
  const cacheFile = path.join(buildDir, 'CMakeCache.txt');
  const cache = fs.existsSync(cacheFile) ? fs.readFileSync(cacheFile, 'utf8') : '';
  // Both the cache and the generated build files: an interrupted configure
  // leaves the first without the second.
  const configured = cache && ['Makefile', 'build.ninja'].some((f) => fs.existsSync(path.join(buildDir, f)));
  const wantTests = tests || /QUILLGATE_TESTS:BOOL=ON/.test(cache);
  if (!configured || wantTests !== /QUILLGATE_TESTS:BOOL=ON/.test(cache) || extra.length) {
    configure(buildDir, ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release',
      `-DQUILLGATE_NODE_API_INCLUDE=${include}`, `-DQUILLGATE_TESTS=${wantTests ? 'ON' : 'OFF'}`, ...extra]);
  }
  const jobs = String(Math.max(1, os.availableParallelism ? os.availableParallelism() : os.cpus().length));
  if (tests) targets.push('quillgate_tests');
  run('cmake', ['--build', buildDir, '--parallel', jobs, '--target', ...targets]);
}

main(process.argv.slice(2));
