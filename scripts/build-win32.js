#!/usr/bin/env node
// Cross-builds the Windows x64 addon on Debian with MinGW-w64: build-win32/quillgate.node.
//
//   node scripts/build-win32.js [--build-dir DIR]
//
// OpenSSL for Windows is built from the upstream tarball of Debian's current
// source of OpenSSL 3 (without Debian's patches), configured for a TLS client
// (`configureArgs` below), and kept in the user's cache folder, keyed by
// upstream version and configuration
// ($XDG_CACHE_HOME/quillgate/openssl-mingw64-<version>-<key>, or ~/.cache/...;
// the folder's configuration.txt holds the Configure arguments the key names).
// Each build asks apt for the current version and builds it when the cache
// holds another version or configuration; offline, it takes the newest cached
// one of this configuration and says so.
// QUILLGATE_OPENSSL_MINGW64 names another such folder (include/, lib/).
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { root, fail, run, onPath, cacheRoot, privateApt, currentOpenSSL, cachedName, fillCache, completeOpenSSL,
  checkBoost, crossBuild, main } = require('./cross');

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

// How OpenSSL is configured for the Windows binary. The gateway is a TLS
// client of RDP servers and nothing else: TLS 1.2 or 1.3 over TCP, the cipher
// list of src/proxy/tls.cpp, no verification (the server's certificate is
// parsed and handed on whole), OpenSSL's default groups and signature
// algorithms. What it never calls is left out, because this build lacks
// Debian's own patches: of those on 3.0.22, the ones for DTLS, SM2, CMP and
// EC on curves outside the NIST set are then in code that is left out or can
// no longer run (the one for relative CRL distribution points is in the
// certificate processing every handshake does, which has to stay).
// Nothing here changes what the gateway offers a server (Camellia and ARIA
// are outside OpenSSL's DEFAULT cipher list, GOST is offered only with a
// GOST engine): its ClientHello is the one the Linux binaries send.
// Kept: TLS 1.2 and 1.3 with session tickets and resumption, RSA, DH, DSA
// (its signature algorithms are in the default offer), EC with ECDH and
// ECDSA, X25519/X448 and Ed25519/Ed448, AES (GCM, CBC), ChaCha20-Poly1305,
// MD5 and the SHA-1, SHA-2 and SHA-3 families, HMAC, HKDF and the TLS PRF.
// test/package/ checks that strings of the left-out algorithms are absent.
const configureArgs = [
  'mingw64', `--cross-compile-prefix=${prefix}`,
  // Static libraries only, without tests or loadable modules, and without
  // reading an openssl.cnf: on Windows its compiled-in folder would be a path
  // that any local user may be able to create.
  'no-shared', 'no-tests', 'no-module', 'no-autoload-config',
  // Protocols it never speaks: TLS 1.2 is its minimum, and it is TCP only.
  'no-ssl3', 'no-ssl3-method', 'no-tls1', 'no-tls1-method', 'no-tls1_1', 'no-tls1_1-method',
  // OpenSSL 3.0's no-dtls keeps the version-specific DTLS methods, named
  // here too; its DTLS_method() of any version stays, with no version left
  // to negotiate.
  'no-dtls', 'no-dtls1-method', 'no-dtls1_2-method', 'no-dgram', 'no-srtp',
  // TLS features it never enables (its cipher list excludes PSK and SRP;
  // TLS 1.3 resumption does not need the PSK ciphersuites).
  'no-psk', 'no-srp', 'no-comp', 'no-nextprotoneg', 'no-ct', 'no-ocsp',
  // Algorithms in none of its cipher suites, groups or signature algorithms.
  'no-sm2', 'no-sm3', 'no-sm4', 'no-ec2m', 'no-gost', 'no-aria', 'no-camellia', 'no-idea', 'no-seed', 'no-bf',
  'no-cast', 'no-rc2', 'no-rc4', 'no-des', 'no-md4', 'no-mdc2', 'no-whirlpool', 'no-rmd160', 'no-blake2',
  'no-siphash', 'no-cmac', 'no-siv', 'no-ocb', 'no-scrypt',
  // Formats and protocols beside TLS.
  'no-cmp', 'no-cms', 'no-ts', 'no-rfc3779',
  // Machinery it never uses: engines, loading DLLs (engines and providers
  // would be looked for in compiled-in folders such as /usr/local/lib64,
  // which on Windows any local user may be able to create), the legacy
  // provider, asynchronous jobs, password prompts on the console.
  'no-engine', 'no-dso', 'no-legacy', 'no-async', 'no-ui-console',
];
const configuration = `${configureArgs.join('\n')}\n`;

// bookworm-security carries the current 3.0 release; the cached build is
// taken when it is of apt's current upstream version and of this
// configuration (see currentOpenSSL).
function buildOpenSSL() {
  const options = privateApt('apt', ['deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ' +
    'http://deb.debian.org/debian-security bookworm-security main']);
  const newer = (a, b) => {
    const [x, y] = [a, b].map((v) => v.split('.').map(Number));
    for (let i = 0; i < 3; i++) if (x[i] !== y[i]) return x[i] - y[i];
    return 0;
  };
  return currentOpenSSL({ prefix: 'openssl-mingw64-', pattern: /^\d+\.\d+\.\d+$/, compare: newer, what: 'Windows x64',
    options, instead, configuration,
    fill: (older) => fillCache((work) => compileOpenSSL(work, options, older), configuration),
    candidate: { cmd: 'apt-get', args: ['-qq', '--print-uris', 'source', 'openssl'],
      parse: (out) => /\sopenssl_(\d+\.\d+\.\d+)\.orig\.tar\.gz\s/.exec(out)?.[1] } });
}

function compileOpenSSL(work, options, older) {
  const started = Date.now();
  const tarball = fetchSource(work, options);
  const version = /^openssl_([\d.]+)\.orig/.exec(path.basename(tarball))[1];
  console.log(`quillgate: building OpenSSL ${version} for Windows x64, configured for a TLS client ` +
    `(${older ? `in place of ${older}; ` : ''}kept in ${cacheRoot()})`);
  const src = path.join(work, 'src');
  fs.mkdirSync(src);
  if (run('tar', ['-xzf', tarball, '-C', src, '--strip-components=1']) !== 0) fail('unpacking OpenSSL failed');
  const log = path.join(work, 'build.log');
  const out = fs.openSync(log, 'w');
  const quiet = { cwd: src, stdio: ['ignore', out, out] };
  // At a lower priority: it takes minutes on a machine that may be shared.
  const jobs = String(os.availableParallelism ? os.availableParallelism() : os.cpus().length);
  if (run('perl', ['Configure', ...configureArgs], quiet) !== 0 ||
    run('nice', ['-n', '10', 'make', `-j${jobs}`, 'build_libs'], quiet) !== 0) {
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
  return { staged, name: cachedName('openssl-mingw64-', version, configuration) };
}

// Required by the packaging test for the configuration; run, it builds.
if (require.main === module) main((argv) => {
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
  // OpenSSL's version text (OpenSSL_version(), which the gateway never
  // calls) is linked in, so that the binary says which OpenSSL it carries to
  // whoever looks, as scanners for known-vulnerable OpenSSL builds do.
  crossBuild({ buildDir, toolchain: 'mingw-w64-x86_64.cmake', openssl: openssl || buildOpenSSL(),
    cmakeArgs: ['-DCMAKE_MODULE_LINKER_FLAGS=-Wl,--require-defined=OpenSSL_version'] });
});

module.exports = { configureArgs };
