#!/usr/bin/env node
// Cross-builds the Windows x64 addon on Debian with MinGW-w64: build-win32/quillgate.node.
//
//   node scripts/build-win32.js [--build-dir DIR]
//
// OpenSSL for Windows is built once from Debian's source of OpenSSL 3 and kept
// in the user's cache folder, keyed by version
// ($XDG_CACHE_HOME/quillgate/openssl-mingw64-<version>, or ~/.cache/...);
// QUILLGATE_OPENSSL_MINGW64 names another such folder (include/, lib/). Delete
// the cached folder to take a newer Debian release of OpenSSL.
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const compiler = 'x86_64-w64-mingw32-g++-posix';
const prefix = 'x86_64-w64-mingw32-';

// Thrown, not exited, so that clean-ups on the way out run.
class Failure extends Error {}

function fail(message) {
  throw new Failure(message);
}

function run(cmd, args, options = {}) {
  const result = spawnSync(cmd, args, { stdio: 'inherit', ...options });
  if (result.error) fail(`${cmd}: ${result.error.message}`);
  return result.status;
}

function onPath(name) {
  return spawnSync('sh', ['-c', `command -v ${name}`], { stdio: 'ignore' }).status === 0;
}

function cacheRoot() {
  return path.join(process.env.XDG_CACHE_HOME || path.join(os.homedir(), '.cache'), 'quillgate');
}

function complete(dir) {
  return ['include/openssl/ssl.h', 'lib/libssl.a', 'lib/libcrypto.a'].every((f) => fs.existsSync(path.join(dir, f)));
}

// Debian's OpenSSL source, through a private apt configuration (the system's
// sources stay as they are): bookworm-security carries the current 3.0 release.
// apt checks the tarball against the signed index; the .dsc and Debian's
// patches are not needed (and not always on the mirror), so their absence is
// no failure.
function fetchSource(work) {
  const apt = path.join(cacheRoot(), 'apt');
  for (const dir of ['lists/partial', 'cache/archives/partial']) fs.mkdirSync(path.join(apt, dir), { recursive: true });
  fs.writeFileSync(path.join(apt, 'sources.list'), 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ' +
    'http://deb.debian.org/debian-security bookworm-security main\n');
  const options = ['-o', `Dir::Etc::SourceList=${path.join(apt, 'sources.list')}`, '-o', 'Dir::Etc::SourceParts=/nonexistent',
    '-o', `Dir::State::Lists=${path.join(apt, 'lists')}`, '-o', `Dir::Cache=${path.join(apt, 'cache')}`,
    // As root, apt downloads as the _apt user, who cannot write to root's cache folder.
    ...(process.getuid() === 0 ? ['-o', 'APT::Sandbox::User=root'] : [])];
  const instead = '; or set QUILLGATE_OPENSSL_MINGW64 to a folder holding OpenSSL 3 built for mingw64 (include/, lib/)';
  if (run('apt-get', [...options, '-qq', 'update']) !== 0) fail(`apt-get update for the OpenSSL source failed${instead}`);
  const source = spawnSync('apt-get', [...options, '-qq', '--download-only', 'source', 'openssl'],
    { cwd: work, stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  const tarball = fs.readdirSync(work).find((f) => /^openssl_3\.[\d.]+\.orig\.tar\.gz$/.test(f));
  if (!tarball) fail(`apt-get source openssl gave no openssl_3.*.orig.tar.gz: ${(source.stderr || source.error?.message || '').trim()}${instead}`);
  return path.join(work, tarball);
}

// Static libraries only, without tests or loadable modules, and without
// reading an openssl.cnf: on Windows its compiled-in folder would be a path
// that any local user may be able to create.
function buildOpenSSL() {
  const cachedVersion = (d) => /^openssl-mingw64-([\d.]+)$/.exec(d)?.[1].split('.').map(Number);
  const newer = (a, b) => { for (let i = 0; i < 3; i++) if (a[i] !== b[i]) return a[i] - b[i]; return 0; };
  const entries = fs.existsSync(cacheRoot()) ? fs.readdirSync(cacheRoot()) : [];
  const cached = entries.filter((d) => cachedVersion(d) && complete(path.join(cacheRoot(), d)))
    .sort((a, b) => newer(cachedVersion(a), cachedVersion(b)));
  if (cached.length) return path.join(cacheRoot(), cached[cached.length - 1]);
  fs.mkdirSync(cacheRoot(), { recursive: true });
  // Work folders of builds that were killed (an hour old: not one running now).
  for (const d of entries.filter((e) => e.startsWith('openssl-work-'))) {
    const dir = path.join(cacheRoot(), d);
    if (Date.now() - fs.statSync(dir).mtimeMs > 3600e3) fs.rmSync(dir, { recursive: true, force: true });
  }
  const work = fs.mkdtempSync(path.join(cacheRoot(), 'openssl-work-'));
  try {
    const started = Date.now();
    const tarball = fetchSource(work);
    const version = /^openssl_([\d.]+)\.orig/.exec(path.basename(tarball))[1];
    console.log(`quillgate: building OpenSSL ${version} for Windows x64 (once; kept in ${cacheRoot()})`);
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
    // Assembled aside, then renamed: an interrupted build leaves no half a cache.
    const staged = path.join(work, 'out');
    fs.mkdirSync(path.join(staged, 'lib'), { recursive: true });
    fs.cpSync(path.join(src, 'include', 'openssl'), path.join(staged, 'include', 'openssl'), { recursive: true });
    for (const lib of ['libssl.a', 'libcrypto.a']) fs.copyFileSync(path.join(src, lib), path.join(staged, 'lib', lib));
    fs.copyFileSync(path.join(src, 'LICENSE.txt'), path.join(staged, 'LICENSE.txt'));
    const dir = path.join(cacheRoot(), `openssl-mingw64-${version}`);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.renameSync(staged, dir);
    console.log(`quillgate: OpenSSL ${version} for Windows built in ${Math.round((Date.now() - started) / 1000)} s`);
    return dir;
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

function main(argv) {
  let buildDir = path.join(root, 'build-win32');
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--build-dir') buildDir = path.resolve(argv[++i]);
    else fail(`build-win32.js: unknown argument ${argv[i]}`);
  }
  if (!onPath(compiler)) {
    fail(`${compiler} is needed for the Windows build and was not found; install it: Debian/Ubuntu: g++-mingw-w64-x86-64`);
  }
  const boost = '/usr/include/boost';
  if (!fs.existsSync(path.join(boost, 'version.hpp'))) {
    fail('Boost headers were not found in /usr/include/boost; install them: Debian 12: libboost1.81-dev');
  }
  let openssl = process.env.QUILLGATE_OPENSSL_MINGW64;
  if (openssl && !complete(openssl)) fail(`QUILLGATE_OPENSSL_MINGW64=${openssl} holds no include/openssl and lib/lib{ssl,crypto}.a`);
  openssl = openssl || buildOpenSSL();

  // Only Boost: -I/usr/include would put glibc's headers before MinGW's.
  const boostDir = path.join(buildDir, 'boost-include');
  fs.mkdirSync(boostDir, { recursive: true });
  if (!fs.existsSync(path.join(boostDir, 'boost'))) fs.symlinkSync(boost, path.join(boostDir, 'boost'));

  const status = run(process.execPath, [path.join(__dirname, 'build.js'), '--build-dir', buildDir, '--',
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'mingw-w64-x86_64.cmake')}`, '-DCMAKE_BUILD_TYPE=Release',
    `-DQUILLGATE_BOOST_INCLUDE=${boostDir}`, `-DQUILLGATE_OPENSSL_INCLUDE=${path.join(openssl, 'include')}`,
    `-DQUILLGATE_LIBSSL=${path.join(openssl, 'lib', 'libssl.a')}`,
    `-DQUILLGATE_LIBCRYPTO=${path.join(openssl, 'lib', 'libcrypto.a')}`], { cwd: root });
  if (status !== 0) process.exit(status ?? 1);
}

try {
  main(process.argv.slice(2));
} catch (error) {
  if (!(error instanceof Failure)) throw error;
  process.stderr.write(`quillgate: ${error.message}\n`);
  process.exit(1);
}
