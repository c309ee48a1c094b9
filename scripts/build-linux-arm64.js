#!/usr/bin/env node
// Cross-builds the Linux arm64 addon on Debian with g++-aarch64-linux-gnu:
// build-linux-arm64/quillgate.node.
//
//   node scripts/build-linux-arm64.js [--build-dir DIR]
//
// OpenSSL for arm64 is Debian 12's libssl-dev for that architecture (headers
// and static libraries), downloaded through a private apt configuration,
// without adding the architecture to the system, and kept unpacked in the
// user's cache folder, keyed by its Debian version
// ($XDG_CACHE_HOME/quillgate/openssl-linux-arm64-<version>, or ~/.cache/...).
// Each build asks apt for the current version and takes it when the cache
// holds another; offline, it takes the newest cached one and says so.
// QUILLGATE_OPENSSL_LINUX_ARM64 names another such folder (include/, lib/).
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { root, fail, run, onPath, cacheRoot, privateApt, currentOpenSSL, fillCache, completeOpenSSL, checkBoost,
  crossBuild, main } = require('./cross');

const compiler = 'aarch64-linux-gnu-g++';
const instead = '; or set QUILLGATE_OPENSSL_LINUX_ARM64 to a folder holding OpenSSL 3 for arm64 (include/, lib/)';

function compareDebian(a, b) {
  if (a === b) return 0;
  const r = spawnSync('dpkg', ['--compare-versions', a, 'lt', b]);
  if (r.error || r.status > 1) fail(`dpkg --compare-versions failed${r.error ? `: ${r.error.message}` : ''}`);
  return r.status === 0 ? -1 : 1;
}

// libssl-dev:arm64 from bookworm or bookworm-security, whichever is newer:
// the cached one when it is apt's current version (see currentOpenSSL).
function fetchOpenSSL() {
  const keyring = 'signed-by=/usr/share/keyrings/debian-archive-keyring.gpg';
  const options = privateApt('apt-arm64', [`deb [arch=arm64 ${keyring}] http://deb.debian.org/debian bookworm main`,
    `deb [arch=arm64 ${keyring}] http://deb.debian.org/debian-security bookworm-security main`],
  ['-o', 'APT::Architecture=arm64', '-o', 'APT::Architectures::=arm64']);
  return currentOpenSSL({ prefix: 'openssl-linux-arm64-', pattern: /^\d[\w.~+:-]*$/, compare: compareDebian,
    what: 'arm64', options, instead, fill: (older) => fillCache((work) => unpackOpenSSL(work, options, older)),
    candidate: { cmd: 'apt-cache', args: ['policy', 'libssl-dev:arm64'],
      parse: (out) => /^\s*Candidate:\s*(\S+)\s*$/m.exec(out)?.[1] } });
}

// Downloads apt's current libssl-dev:arm64 into `work` and stages it there;
// apt checks the package against the signed index. Its headers are the
// common ones plus the two that describe arm64's build, which are put beside
// them; its libraries are static ones built as position-independent code.
function unpackOpenSSL(work, options, older) {
  const download = spawnSync('apt-get', [...options, '-qq', 'download', 'libssl-dev:arm64'],
    { cwd: work, stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8' });
  const deb = fs.readdirSync(work).find((f) => /^libssl-dev_3\..*_arm64\.deb$/.test(f));
  if (!deb) {
    const why = (download.stderr || download.error?.message || '').trim();
    fail(`apt-get download libssl-dev:arm64 gave no libssl-dev_3.*_arm64.deb: ${why}${instead}`);
  }
  const version = spawnSync('dpkg-deb', ['-f', path.join(work, deb), 'Version'], { encoding: 'utf8' }).stdout?.trim();
  if (!version) fail(`dpkg-deb could not read the version of ${deb}`);
  const tree = path.join(work, 'tree');
  if (run('dpkg-deb', ['-x', path.join(work, deb), tree]) !== 0) fail(`unpacking ${deb} failed`);
  const staged = path.join(work, 'out');
  fs.mkdirSync(path.join(staged, 'lib'), { recursive: true });
  fs.cpSync(path.join(tree, 'usr', 'include', 'openssl'), path.join(staged, 'include', 'openssl'), { recursive: true });
  fs.cpSync(path.join(tree, 'usr', 'include', 'aarch64-linux-gnu', 'openssl'), path.join(staged, 'include', 'openssl'),
    { recursive: true, errorOnExist: true, force: false });
  for (const lib of ['libssl.a', 'libcrypto.a']) {
    fs.copyFileSync(path.join(tree, 'usr', 'lib', 'aarch64-linux-gnu', lib), path.join(staged, 'lib', lib));
  }
  fs.copyFileSync(path.join(tree, 'usr', 'share', 'doc', 'libssl-dev', 'copyright'), path.join(staged, 'copyright'));
  console.log(`quillgate: OpenSSL ${version} for arm64 from Debian kept in ${cacheRoot()}${older ? `, in place of ${older}` : ''}`);
  return { staged, name: `openssl-linux-arm64-${version}` };
}

main((argv) => {
  let buildDir = path.join(root, 'build-linux-arm64');
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--build-dir') buildDir = path.resolve(argv[++i]);
    else fail(`build-linux-arm64.js: unknown argument ${argv[i]}`);
  }
  if (!onPath(compiler)) {
    fail(`${compiler} is needed for the Linux arm64 build and was not found; ` +
      'install it: Debian/Ubuntu: g++-aarch64-linux-gnu');
  }
  checkBoost();
  const openssl = process.env.QUILLGATE_OPENSSL_LINUX_ARM64;
  if (openssl && !completeOpenSSL(openssl)) {
    fail(`QUILLGATE_OPENSSL_LINUX_ARM64=${openssl} holds no include/openssl and lib/lib{ssl,crypto}.a`);
  }
  crossBuild({ buildDir, toolchain: 'aarch64-linux-gnu.cmake', openssl: openssl || fetchOpenSSL() });
});
