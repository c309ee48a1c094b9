#!/usr/bin/env node
// Runs every test: the C++ unit tests, a bounded libFuzzer run of each fuzz
// target (when clang's fuzzer runtime is installed), the JavaScript suite,
// the browser test, the Windows x64 addon under Wine and the Linux arm64
// addon under qemu-user (both on Linux x64).
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const logDir = path.join(root, 'build-logs');
const failures = [];
// A step that hangs is stopped, with everything it started, after its limit
// (builds get longer): the run goes on, and the log shows how far it got.
const testMinutes = 20;
const buildMinutes = 40;

// The lines of a log that say what went wrong, for the closing summary; at
// most `max`. Sanitizer summaries and the paths of crashing inputs come
// first; a gtest test that started and never ended (a crash, a hang) too.
function digest(text, max) {
  const telling = /\bFAILED\b|Failure|^\s*not ok|ERROR:|WARNING:|SUMMARY:|Test unit written|leak of|error:|Error:|Error \[|CMake Error|^quillgate:|timed out|Expected|Which is|Value of|Actual|expected|actual|^\s+#[0-3] /;
  const first = /SUMMARY:|Test unit written/;
  const all = text.split('\n');
  const seen = new Set();
  const lines = all
    .filter((l) => telling.test(l) && !/^\s*(ok \d|# Subtest|\[ RUN      \]|\[       OK \])/.test(l))
    .map((l) => l.slice(0, 200))
    .filter((l) => !seen.has(l) && seen.add(l));
  const started = all.filter((l) => l.startsWith('[ RUN      ]'));
  const lastStarted = started[started.length - 1];
  const unfinished = lastStarted && !all.some((l) => /^\[ +(OK|FAILED) +\]/.test(l) &&
    l.slice(12).trim().startsWith(lastStarted.slice(12).trim())) ? [`${lastStarted} (never ended)`] : [];
  const important = [...unfinished, ...lines.filter((l) => first.test(l))];
  return [...important, ...lines.filter((l) => !first.test(l))].slice(0, max);
}

// One line that says how a passing step went: the test counts it printed,
// or else its last line.
function summary(text) {
  const lines = text.split('\n').map((l) => l.trim()).filter(Boolean);
  const counts = lines.filter((l) => /^# (tests|pass|fail|skipped) \d+$/.test(l) || /^\[  PASSED  \]/.test(l) ||
    /^Done \d+ runs/.test(l));
  return counts.length ? counts.join(', ') : (lines[lines.length - 1] || '');
}

// The step running now, in a session and process group of its own, so that
// a time limit or an interrupt reaches everything it started (except what
// leaves the group itself, as Chromium and wineserver do; their steps stop
// them). If this process is killed outright, the step lives on.
let running = null;
let interrupted = null;

function stopGroup(child, signal) {
  try {
    process.kill(-child.pid, signal);
  } catch {
    // already gone
  }
}

for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => {
    if (running) stopGroup(running, 'SIGTERM');
    if (running) setTimeout(() => running && stopGroup(running, 'SIGKILL'), 5000).unref();
    console.log(`\ninterrupted (${signal}): stopping`);
    interrupted = signal;
    // Leaves as soon as the step has gone; forcibly if it will not go.
    setTimeout(() => process.exit(128 + os.constants.signals[signal]), 6000).unref();
  });
}
// Also when this process ends for any other reason it can handle.
process.on('exit', () => running && stopGroup(running, 'SIGKILL'));

// Runs one step with its output in build-logs/; true when it passed. Prints
// a summary line, and the tail of the log when the step failed. A failed
// step never keeps the steps that do not depend on it from running.
async function step(name, cmd, args, options = {}, minutes = testMinutes) {
  if (interrupted) return false;
  fs.mkdirSync(logDir, { recursive: true });
  const logFile = path.join(logDir, `${name.replace(/C\+\+/g, 'cpp').toLowerCase().replace(/[^a-z0-9]+/g, '-').replace(/^-|-$/g, '')}.log`);
  const out = fs.openSync(logFile, 'w');
  const started = Date.now();
  process.stdout.write(`== ${name} ... `);
  let child;
  try {
    child = spawn(cmd, args, { cwd: root, stdio: ['ignore', out, out], detached: true, ...options });
  } finally {
    fs.closeSync(out);
  }
  running = child;
  let timedOut = false;
  let kill = null;
  const limit = setTimeout(() => {
    timedOut = true;
    stopGroup(child, 'SIGTERM');
    kill = setTimeout(() => stopGroup(child, 'SIGKILL'), 30000);
  }, minutes * 60 * 1000);
  const [status, signal, error] = await new Promise((resolve) => {
    child.on('error', (e) => resolve([null, null, e]));
    child.on('exit', (code, sig) => resolve([code, sig, null]));
  });
  clearTimeout(limit);
  clearTimeout(kill);
  // Whatever the step left behind (a server it started, say) goes with it.
  stopGroup(child, 'SIGKILL');
  running = null;
  const text = fs.readFileSync(logFile, 'utf8');
  const seconds = Math.round((Date.now() - started) / 1000);
  const where = path.relative(root, logFile);
  if (!error && !timedOut && status === 0) {
    console.log(`passed (${seconds} s): ${summary(text)}`);
    return true;
  }
  const why = error ? error.message : timedOut ? `stopped after ${minutes} minutes`
    : signal ? `killed by ${signal}` : `exit code ${status}`;
  console.log(`FAILED (${why}, ${seconds} s; log: ${where})`);
  console.log(text.split('\n').slice(-60).map((l) => `    ${l}`).join('\n'));
  failures.push({ name, why, where, text });
  return false;
}

function haveFuzzer() {
  return spawnSync('sh', ['-c', 'command -v clang++-14 && ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'],
    { stdio: 'ignore' }).status === 0;
}

async function fuzz(runs) {
  const dir = path.join(root, 'build-fuzz');
  const flags = '-O1 -g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all';
  if (!fs.existsSync(path.join(dir, 'CMakeCache.txt'))) {
    await step('fuzz: configure', 'cmake', ['-S', root, '-B', dir, '-DQUILLGATE_FUZZ=ON',
      '-DCMAKE_CXX_COMPILER=clang++-14', `-DCMAKE_CXX_FLAGS=${flags}`, '-DCMAKE_BUILD_TYPE=RelWithDebInfo']);
  }
  if (!await step('fuzz: build', 'cmake', ['--build', dir, '--parallel', '2'], {}, buildMinutes)) return;
  // Inputs that crash or hang a target are kept here.
  const artifacts = path.join(dir, 'artifacts');
  fs.mkdirSync(artifacts, { recursive: true });
  for (const target of ['parse_request', 'parse_destination', 'tpkt', 'kdc_proxy_message']) {
    const corpus = fs.mkdtempSync(path.join(os.tmpdir(), `quillgate-fuzz-${target}-`));
    await step(`fuzz: ${target}`, path.join(dir, `fuzz_${target}`),
      [`-runs=${runs}`, `-artifact_prefix=${artifacts}/`, '-max_total_time=120', '-timeout=10', '-rss_limit_mb=2048', '-print_final_stats=1',
        corpus, path.join(root, 'test', 'fuzz', 'corpus', target)],
      { env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=1', UBSAN_OPTIONS: 'halt_on_error=1' } });
    fs.rmSync(corpus, { recursive: true, force: true });
  }
}

// A sanitizer step proves the build it ran: the file is linked against the
// sanitizer's runtime and, for the JavaScript tests, is the one addon mapped
// into a process that loads the module (the loader throws rather than fall
// back when QUILLGATE_ADDON does not load).
function proveBuild(name, file, runtime, options) {
  console.log(`== ${name}: runs ${path.relative(root, file)}`);
  const needed = spawnSync('readelf', ['-d', file], { encoding: 'utf8' }).stdout || '';
  let ok = needed.includes(`[${runtime}.so`);
  console.log(`${file}: ${ok ? 'linked against' : 'NOT linked against'} ${runtime}`);
  if (options) {
    const probe = `require(${JSON.stringify(root)}); console.log([...new Set(require('node:fs')
      .readFileSync('/proc/self/maps', 'utf8').split('\\n').map((l) => l.slice(l.indexOf('/')))
      .filter((f) => f.endsWith('.node')))].join(' '))`;
    const loaded = spawnSync(process.execPath, ['-e', probe], { cwd: root, encoding: 'utf8', ...options });
    const files = loaded.status === 0 ? loaded.stdout.trim() : loaded.stderr.trim();
    console.log(`addon mapped by a process that loads the module: ${files}`);
    ok = ok && files === fs.realpathSync(file);
  }
  if (!ok) {
    failures.push({ name: `${name}: build under test`, why: 'not the instrumented build' });
    console.log(`== ${name}: FAILED (not the instrumented build)`);
  }
  return ok;
}

async function sanitizers() {
  const build = (dir, kind) => step(`${kind} sanitizer build`, process.execPath,
    [path.join(__dirname, 'build.js'), '--tests', '--build-dir', path.join(root, dir), '--',
      `-DQUILLGATE_SANITIZE=${kind}`, '-DCMAKE_BUILD_TYPE=RelWithDebInfo'], {}, buildMinutes);
  const env = (extra) => ({ env: { ...process.env, ...extra } });

  if (await build('build-asan', 'address')) {
    const tests = path.join(root, 'build-asan', 'quillgate_tests');
    if (proveBuild('ASan+UBSan: C++ unit tests', tests, 'libasan')) {
      await step('ASan+UBSan: C++ unit tests', tests, [],
        env({ ASAN_OPTIONS: 'detect_leaks=1:halt_on_error=1:abort_on_error=1' }));
    }
    // node itself is not instrumented: the runtime is preloaded, and leak
    // checking (which would report node's own allocations at exit) is off.
    const libasan = spawnSync('g++', ['-print-file-name=libasan.so'], { encoding: 'utf8' }).stdout.trim();
    const addon = path.join(root, 'build-asan', 'quillgate.node');
    const options = env({ LD_PRELOAD: libasan, ASAN_OPTIONS: 'detect_leaks=0:halt_on_error=1:abort_on_error=1',
      QUILLGATE_ADDON: addon });
    if (proveBuild('ASan+UBSan: JavaScript tests', addon, 'libasan', options)) {
      await step('ASan+UBSan: JavaScript tests', process.execPath,
        ['--test', '--test-concurrency=2', 'test/js/'], options);
    }
  }
  if (await build('build-tsan', 'thread')) {
    const tests = path.join(root, 'build-tsan', 'quillgate_tests');
    if (proveBuild('TSan: C++ tests', tests, 'libtsan')) {
      await step('TSan: C++ tests with real sockets and threads', tests,
        ['--gtest_filter=Service*:Registry*:Lookup*'], env({ TSAN_OPTIONS: 'halt_on_error=1' }));
    }
  }
}

async function main() {
  // Logs of earlier runs would be taken for this one's; the set-up's, made
  // just before this run, stay.
  for (const name of fs.existsSync(logDir) ? fs.readdirSync(logDir) : []) {
    if (!name.startsWith('setup-')) fs.rmSync(path.join(logDir, name), { recursive: true, force: true });
  }
  await step('C++ unit tests', path.join(root, 'build', 'quillgate_tests'), []);
  // The client stream again on an x86-64 without AVX2 (emulated), so that
  // the unmasking's baseline version runs too, not only the one this CPU picks.
  const qemu = spawnSync('sh', ['-c', 'command -v qemu-x86_64'], { stdio: 'ignore' }).status === 0;
  if (process.platform === 'linux' && process.arch === 'x64' && !qemu) {
    console.log('== C++ client-stream tests on a CPU without AVX2: SKIPPED (qemu-x86_64 is not installed; Debian: qemu-user)');
  } else if (process.platform === 'linux' && process.arch === 'x64') {
    await step('C++ client-stream tests on a CPU without AVX2 (qemu)', 'qemu-x86_64',
      ['-cpu', 'Nehalem', path.join(root, 'build', 'quillgate_tests'), '--gtest_filter=ClientStream*']);
  }
  if (haveFuzzer()) await fuzz(Number(process.env.QUILLGATE_FUZZ_RUNS || 200000));
  else console.log('== fuzz: SKIPPED (clang-14 with libclang-rt-14-dev is not installed)');
  await step('JavaScript tests', process.execPath, ['--test', '--test-concurrency=4', 'test/js/']);
  // Once, not under the sanitizers: IronRDP's web client in headless Chromium,
  // through the gateway to xrdp.
  await step('Browser test (Chromium, IronRDP web client, xrdp)', process.execPath,
    ['--test', 'test/browser/'], { env: { ...process.env, QUILLGATE_BROWSER_TEST: 'required' } });
  // Cross-builds the Windows addon and runs end-to-end files with it in node.exe
  // under Wine; one summary line, the rest in build-win32/test-win32.log.
  if (process.platform === 'linux' && process.arch === 'x64') {
    await step('Windows x64 under Wine', process.execPath, [path.join(__dirname, 'test-win32.js')], {}, buildMinutes);
  }
  if (process.env.QUILLGATE_SANITIZERS === '0') console.log('== sanitizer builds: SKIPPED (QUILLGATE_SANITIZERS=0)');
  else await sanitizers();
  // Load and descriptor tests, on their own: they hold thousands of sockets.
  await step('Load tests', 'sh', ['-c', 'ulimit -n "$(ulimit -Hn)" && exec "$0" --test test/load/', process.execPath]);
  // Keeps the benchmark working; its figures mean nothing at this size.
  await step('Benchmark smoke run', process.execPath, [path.join(root, 'bench', 'run.js'), '--quick']);
  // The Linux arm64 cross build on its own, with a build's time limit: the
  // pack below then finds it up to date.
  if (process.platform === 'linux' && process.arch === 'x64') {
    await step('Linux arm64 cross build', process.execPath, [path.join(__dirname, 'build-linux-arm64.js')], {}, buildMinutes);
  }
  // Alone: it packs the module, installs it with npm and runs other Node.js
  // majors, and the Linux arm64 binary under qemu-user.
  await step('Packaging tests', process.execPath, ['--test', 'test/package/']);

  // Last, so that the end of the output says what failed and why; the
  // fewer lines each, the more failed steps.
  if (failures.length) {
    const each = Math.max(4, Math.floor(16 / failures.length));
    console.log('\nFailed steps:');
    for (const f of failures) {
      console.log(`- ${f.name}: ${f.why}${f.where ? ` (log: ${f.where})` : ''}`);
      for (const line of f.text ? digest(f.text, each) : []) console.log(`    ${line}`);
    }
    console.log(`\nFAILED: ${failures.map((f) => f.name).join(', ')}`);
    process.exitCode = interrupted ? 128 + os.constants.signals[interrupted] : 1;
    return;
  }
  if (interrupted) process.exitCode = 128 + os.constants.signals[interrupted];
  else console.log('\nall test steps passed');
}

main();
