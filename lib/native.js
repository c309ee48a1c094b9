'use strict';

// Finds the native addon. QUILLGATE_ADDON, when set, names the only file
// tried. Otherwise a local source build (build/, made by the install script
// when asked to build from source or when no prebuilt binary fits, or by a
// developer) comes first, then the binary shipped in the package for this
// platform: prebuilds/<platform>-<arch>/quillgate.node.
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');

// The oldest runtime the prebuilt Linux binaries need, by symbol version:
// glibc 2.34 and the libstdc++ of GCC 11. The packaging tests hold every
// prebuilt binary to these.
const floor = { GLIBC: '2.34', GLIBCXX: '3.4.29', CXXABI: '1.3.13', GCC: '7.0.0' };

const sourceBuild = path.join(root, 'build', 'quillgate.node');

function prebuilt(platform = process.platform, arch = process.arch) {
  return path.join(root, 'prebuilds', `${platform}-${arch}`, 'quillgate.node');
}

function compareVersions(a, b) {
  const x = a.split('.').map(Number);
  const y = b.split('.').map(Number);
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    if ((x[i] || 0) !== (y[i] || 0)) return (x[i] || 0) - (y[i] || 0);
  }
  return 0;
}

// Turns a loader message about symbol versions into one about the host.
// Only consulted after a failure: building the report takes milliseconds.
function explain(error) {
  if (process.platform !== 'linux') return error.message;
  let glibc;
  try {
    glibc = process.report.getReport().header.glibcVersionRuntime;
  } catch {
    return error.message;  // no report in this host: the loader's own words
  }
  if (!glibc) {
    return `this host's C library is not glibc (musl?); the prebuilt binary needs glibc ${floor.GLIBC} or later ` +
      `(${error.message})`;
  }
  if (compareVersions(glibc, floor.GLIBC) < 0) {
    return `this host has glibc ${glibc}; the prebuilt binary needs glibc ${floor.GLIBC} or later`;
  }
  if (/GLIBCXX_|CXXABI_/.test(error.message)) {
    return `this host's libstdc++ is older than GCC 11's (GLIBCXX_${floor.GLIBCXX}), which the prebuilt binary ` +
      `needs (${error.message})`;
  }
  return error.message;
}

function load() {
  const named = process.env.QUILLGATE_ADDON;
  if (named) {
    try {
      return require(path.resolve(named));
    } catch (error) {
      const why = error.message.split('\n')[0];
      throw new Error(`quillgate: QUILLGATE_ADDON names ${named}, which does not load: ${why}`);
    }
  }
  const tried = [];
  for (const [what, file] of [['source build', sourceBuild], ['prebuilt binary', prebuilt()]]) {
    if (!fs.existsSync(file)) {
      tried.push(`${what} ${file}: not present`);
      continue;
    }
    try {
      return require(file);
    } catch (error) {
      tried.push(`${what} ${file}: ${what === 'source build' ? error.message : explain(error)}`);
    }
  }
  throw new Error(`quillgate: no native addon loads on ${process.platform}-${process.arch}. Tried:\n` +
    tried.map((line) => `  - ${line}\n`).join('') +
    'To build it from source (CMake, a C++20 compiler, Boost 1.81+ and OpenSSL 3 needed): ' +
    `node ${path.join(root, 'scripts', 'build.js')}`);
}

module.exports = { load, prebuilt, sourceBuild, explain, floor, compareVersions };
