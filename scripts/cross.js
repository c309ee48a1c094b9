// What the cross builds (build-win32.js, build-linux-arm64.js) share: the
// user's cache folder, a private apt configuration, cached folders keyed by
// version, and the CMake build with Boost's headers alone on the include path.
'use strict';

const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

// Thrown, not exited, so that clean-ups on the way out run; main() prints it.
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

// apt-get options for a configuration of its own in cacheRoot()/<name>: its
// sources (lines of a sources.list), package lists, downloads and an empty
// package status, so the system's sources, lists and dpkg state are neither
// read nor changed. `extra` adds options (the architecture, say).
function privateApt(name, sources, extra = []) {
  const apt = path.join(cacheRoot(), name);
  for (const dir of ['lists/partial', 'cache/archives/partial']) fs.mkdirSync(path.join(apt, dir), { recursive: true });
  fs.writeFileSync(path.join(apt, 'sources.list'), sources.map((line) => `${line}\n`).join(''));
  fs.writeFileSync(path.join(apt, 'status'), '');
  return ['-o', `Dir::Etc::SourceList=${path.join(apt, 'sources.list')}`, '-o', 'Dir::Etc::SourceParts=/nonexistent',
    '-o', `Dir::State::Lists=${path.join(apt, 'lists')}`, '-o', `Dir::Cache=${path.join(apt, 'cache')}`,
    '-o', `Dir::State::status=${path.join(apt, 'status')}`,
    // As root, apt downloads as the _apt user, who cannot write to root's cache folder.
    ...(process.getuid() === 0 ? ['-o', 'APT::Sandbox::User=root'] : []), ...extra];
}

// Runs an apt command with its output captured: { ok, out, why }, `why`
// being its first line of complaint.
function aptQuery(cmd, args) {
  // Untranslated, so that its output can be read ("Candidate:").
  const env = { ...process.env, LC_ALL: 'C', LANGUAGE: '' };
  const r = spawnSync(cmd, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], env });
  const first = (r.stderr || '').split('\n').map((l) => l.trim()).find(Boolean);
  return { ok: !r.error && r.status === 0, out: r.stdout || '', why: r.error?.message || first?.replace(/^[EW]: /, '') || `${cmd} exited with ${r.status}` };
}

// The OpenSSL folder for a cross build, cached as cacheRoot()/<prefix><version>,
// versions matching `pattern` and ordered by `compare(a, b)`; with a
// `configuration` (the text of how it is built), as
// cacheRoot()/<prefix><version>-<key>, the key naming that text, which the
// folder also holds (see cachedName). The private apt lists (`options`, from
// privateApt()) are refreshed first, which is cheap when nothing changed (apt
// asks If-Modified-Since), and apt is asked which version is current:
// `candidate` is { cmd, args, parse(stdout) }, parse() giving the version or
// nothing. The cached folder of that version and configuration when there is
// one; else the one that fill(newestCachedVersion) makes (with fillCache),
// after which the folders of older versions are removed, whatever their
// configuration. Folders of the current version and another configuration
// stay: a build alongside, in another worktree, may be using one; they go
// when a newer version comes. When apt cannot be reached or names no
// version, the newest cached folder of this configuration, with one line
// saying so; with none cached, a failure. `query` stands in for aptQuery.
function currentOpenSSL({ prefix, pattern, compare, what, options, candidate, fill, configuration, instead = '',
  query = aptQuery }) {
  const update = query('apt-get', [...options, '-qq', '-o', 'APT::Update::Error-Mode=any', 'update']);
  const answer = update.ok ? query(candidate.cmd, [...options, ...candidate.args]) : update;
  const found = answer.ok ? candidate.parse(answer.out) : null;
  const version = found && pattern.test(found) ? found : null;
  const key = configuration === undefined ? undefined : configurationKey(configuration);
  const entries = fs.existsSync(cacheRoot()) ? fs.readdirSync(cacheRoot()) : [];
  const all = entries.filter((d) => d.startsWith(prefix)).map((d) => {
    const rest = d.slice(prefix.length);
    const keyed = key === undefined ? null : /^(.+)-([0-9a-f]{12})$/.exec(rest);
    return { dir: path.join(cacheRoot(), d), version: keyed ? keyed[1] : rest, key: keyed?.[2] };
  }).filter((c) => pattern.test(c.version)).sort((a, b) => compare(a.version, b.version));
  const cached = all.filter((c) => c.key === key && completeOpenSSL(c.dir, configuration));
  const newest = cached[cached.length - 1];
  if (!version) {
    const why = answer.ok ? `apt named no version of ${what}'s OpenSSL` : answer.why;
    if (!newest) fail(`could not find which OpenSSL for ${what} is current: ${why}${instead}`);
    console.log(`quillgate: could not check which OpenSSL for ${what} is current (${why}); using the cached ${newest.version}`);
    return newest.dir;
  }
  const hit = cached.find((c) => c.version === version);
  if (hit) return hit.dir;
  const dir = fill(newest?.version);
  for (const c of all) if (c.dir !== dir && compare(c.version, version) < 0) fs.rmSync(c.dir, { recursive: true, force: true });
  return dir;
}

// The key of a configuration in folder names: 12 hex digits of its SHA-256.
function configurationKey(configuration) {
  return crypto.createHash('sha256').update(configuration).digest('hex').slice(0, 12);
}

// The cache folder name for a version (and a configuration) of OpenSSL, as
// currentOpenSSL looks for it.
function cachedName(prefix, version, configuration) {
  return configuration === undefined ? `${prefix}${version}` : `${prefix}${version}-${configurationKey(configuration)}`;
}

// Runs make(work) in a new work folder in the cache and removes the folder
// afterwards. make() assembles the result in a folder of its own and returns
// it with its name (from cachedName); with a `configuration`, that text is
// recorded in it. It is renamed into place, so that an interrupted run
// leaves no half a cache. Work folders of runs that were killed (an hour
// old: not one running now) are removed first.
function fillCache(make, configuration) {
  fs.mkdirSync(cacheRoot(), { recursive: true });
  for (const d of fs.readdirSync(cacheRoot()).filter((e) => e.startsWith('work-') || e.startsWith('openssl-work-'))) {
    const dir = path.join(cacheRoot(), d);
    if (Date.now() - fs.statSync(dir).mtimeMs > 3600e3) fs.rmSync(dir, { recursive: true, force: true });
  }
  const work = fs.mkdtempSync(path.join(cacheRoot(), 'work-'));
  try {
    const { staged, name } = make(work);
    if (configuration !== undefined) fs.writeFileSync(path.join(staged, configurationFile), configuration);
    const dir = path.join(cacheRoot(), name);
    // A build running alongside may have put the same version in place
    // first, and may be using it: then that one is taken as it is.
    if (completeOpenSSL(dir, configuration)) return dir;
    fs.rmSync(dir, { recursive: true, force: true });
    fs.renameSync(staged, dir);
    return dir;
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

const configurationFile = 'configuration.txt';

// An OpenSSL folder as the cross builds take it: include/openssl, lib/, and
// when a `configuration` is asked for, that one recorded.
function completeOpenSSL(dir, configuration) {
  if (!['include/openssl/ssl.h', 'lib/libssl.a', 'lib/libcrypto.a'].every((f) => fs.existsSync(path.join(dir, f)))) {
    return false;
  }
  if (configuration === undefined) return true;
  try {
    return fs.readFileSync(path.join(dir, configurationFile), 'utf8') === configuration;
  } catch {
    return false;
  }
}

const boost = '/usr/include/boost';

// Called before anything slow, such as fetching OpenSSL.
function checkBoost() {
  if (!fs.existsSync(path.join(boost, 'version.hpp'))) {
    fail('Boost headers were not found in /usr/include/boost; install them: Debian 12: libboost1.81-dev');
  }
}

// Configures and builds with scripts/build.js and a toolchain file from
// cmake/, against `openssl` (include/, lib/) and Boost's headers alone: a
// folder holding only a `boost` link, since -I/usr/include would put the
// host's C library headers before the target's; `cmakeArgs` are added.
// Exits with the build's status when it fails.
function crossBuild({ buildDir, toolchain, openssl, cmakeArgs = [] }) {
  checkBoost();
  const boostDir = path.join(buildDir, 'boost-include');
  fs.mkdirSync(boostDir, { recursive: true });
  if (!fs.existsSync(path.join(boostDir, 'boost'))) fs.symlinkSync(boost, path.join(boostDir, 'boost'));

  const status = run(process.execPath, [path.join(__dirname, 'build.js'), '--build-dir', buildDir, '--',
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', toolchain)}`, '-DCMAKE_BUILD_TYPE=Release',
    `-DQUILLGATE_BOOST_INCLUDE=${boostDir}`, `-DQUILLGATE_OPENSSL_INCLUDE=${path.join(openssl, 'include')}`,
    `-DQUILLGATE_LIBSSL=${path.join(openssl, 'lib', 'libssl.a')}`,
    `-DQUILLGATE_LIBCRYPTO=${path.join(openssl, 'lib', 'libcrypto.a')}`, ...cmakeArgs], { cwd: root });
  if (status !== 0) process.exit(status ?? 1);
}

// Runs a cross build's main(), turning a Failure into one line and exit code 1.
function main(fn) {
  try {
    fn(process.argv.slice(2));
  } catch (error) {
    if (!(error instanceof Failure)) throw error;
    process.stderr.write(`quillgate: ${error.message}\n`);
    process.exit(1);
  }
}

module.exports = { root, fail, run, onPath, cacheRoot, privateApt, currentOpenSSL, cachedName, fillCache, completeOpenSSL,
  checkBoost, crossBuild, main };
