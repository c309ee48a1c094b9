#!/usr/bin/env node
// Cross-builds the Windows x64 addon on Debian with MinGW-w64: build-win32/quillgate.node.
//
//   node scripts/build-win32.js [--build-dir DIR]
//
// OpenSSL for Windows is built from the upstream tarball of Debian's current
// source of OpenSSL 3 (without Debian's patches) and kept in the user's cache
// folder, keyed by upstream version
// ($XDG_CACHE_HOME/quillgate/openssl-mingw64-<version>, or ~/.cache/...).
// Each build asks apt for the current version and builds it when the cache
// holds another; offline, it takes the newest cached one and says so.
// QUILLGATE_OPENSSL_MINGW64 names another such folder (include/, lib/).
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { root, fail, run, onPath, cacheRoot, privateApt, currentOpenSSL, fillCache, completeOpenSSL, checkBoost,
  crossBuild, main } = require('./cross');

const compiler = 'x86_64-w64-mingw32-g++-posix';
const prefix = 'x86_64-w64-mingw32-';
const instead = '; or set QUILLGATE_OPENSSL_MINGW64 to a folder holding OpenSSL 3 built for mingw64 (include/, lib/)';

// The upstream tarball of Debian's OpenSSL source, through a private apt
// configuration (`options`; the system's sources stay as they are). apt
// checks the tarball against the signed index; the .dsc and Debian's patches
// are not used (and not always on the mirror), so their absence is no failure.
function fetchSource(work, options) {
  const source = spawnSync('apt-get', [...options, '-qq', '--download-only', 'source', 'openssl'],
    { cwd: work, stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  const tarball = fs.readdirSync(work).find((f) => /^openssl_3\.[\d.]+\.orig\.tar\.gz$/.test(f));
  if (!tarball) fail(`apt-get source openssl gave no openssl_3.*.orig.tar.gz: ${(source.stderr || source.error?.message || '').trim()}${instead}`);
  return path.join(work, tarball);
}

// bookworm-security carries the current 3.0 release; the cached build is
// taken when it is of apt's current upstream version (see currentOpenSSL).
function buildOpenSSL() {
  const options = privateApt('apt', ['deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ' +
    'http://deb.debian.org/debian-security bookworm-security main']);
  const newer = (a, b) => {
    const [x, y] = [a, b].map((v) => v.split('.').map(Number));
    for (let i = 0; i < 3; i++) if (x[i] !== y[i]) return x[i] - y[i];
    return 0;
  };
  return currentOpenSSL({ prefix: 'openssl-mingw64-', pattern: /^\d+\.\d+\.\d+$/, compare: newer, what: 'Windows x64',
    options, instead, fill: (older) => fillCache((work) => compileOpenSSL(work, options, older)),
    candidate: { cmd: 'apt-get', args: ['-qq', '--print-uris', 'source', 'openssl'],
      parse: (out) => /\sopenssl_(\d+\.\d+\.\d+)\.orig\.tar\.gz\s/.exec(out)?.[1] } });
}

// Static libraries only, without tests or loadable modules, and without
// reading an openssl.cnf: on Windows its compiled-in folder would be a path
// that any local user may be able to create.
function compileOpenSSL(work, options, older) {
  const started = Date.now();
  const tarball = fetchSource(work, options);
  const version = /^openssl_([\d.]+)\.orig/.exec(path.basename(tarball))[1];
  console.log(`quillgate: building OpenSSL ${version} for Windows x64 (${older ? `in place of ${older}; ` : ''}kept in ${cacheRoot()})`);
  const src = path.join(work, 'src');
  fs.mkdirSync(src);
  if (run('tar', ['-xzf', tarball, '-C', src, '--strip-components=1']) !== 0) fail('unpacking OpenSSL failed');
  const log = path.join(work, 'build.log');
  const out = fs.openSync(log, 'w');
  const quiet = { cwd: src, stdio: ['ignore', out, out] };
  // At a lower priority: it takes minutes on a machine that may be shared.
  const jobs = String(os.availableParallelism ? os.availableParallelism() : os.cpus().length);
  if (run('perl', ['Configure', 'mingw64', 'no-shared', 'no-tests', 'no-module', 'no-autoload-config',
    `--cross-compile-prefix=${prefix}`], quiet) !== 0 || run('nice', ['-n', '10', 'make', `-j${jobs}`, 'build_libs'], quiet) !== 0) {
    fs.closeSync(out);
    const tail = fs.readFileSync(log, 'utf8').split('\n').slice(-30).join('\n');
    fail(`building OpenSSL for Windows failed:\n${tail}`);
  }
  fs.closeSync(out);
  const staged = path.join(work, 'out');
  fs.mkdirSync(path.join(staged, 'lib'), { recursive: true });
  fs.cpSync(path.join(src, 'include', 'openssl'), path.join(staged, 'include', 'openssl'), { recursive: true });
  for (const lib of ['libssl.a', 'libcrypto.a']) fs.copyFileSync(path.join(src, lib), path.join(staged, 'lib', lib));
  fs.copyFileSync(path.join(src, 'LICENSE.txt'), path.join(staged, 'LICENSE.txt'));
  console.log(`quillgate: OpenSSL ${version} for Windows built in ${Math.round((Date.now() - started) / 1000)} s`);
  return { staged, name: `openssl-mingw64-${version}` };
}

main((argv) => {
  let buildDir = path.join(root, 'build-win32');
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--build-dir') buildDir = path.resolve(argv[++i]);
    else fail(`build-win32.js: unknown argument ${argv[i]}`);
  }
  if (!onPath(compiler)) {
    fail(`${compiler} is needed for the Windows build and was not found; install it: Debian/Ubuntu: g++-mingw-w64-x86-64`);
  }
  checkBoost();
  const openssl = process.env.QUILLGATE_OPENSSL_MINGW64;
  if (openssl && !completeOpenSSL(openssl)) {
    fail(`QUILLGATE_OPENSSL_MINGW64=${openssl} holds no include/openssl and lib/lib{ssl,crypto}.a`);
  }
  crossBuild({ buildDir, toolchain: 'mingw-w64-x86_64.cmake', openssl: openssl || buildOpenSSL() });
});
