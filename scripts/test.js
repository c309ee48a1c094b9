#!/usr/bin/env node
// Runs every test: the C++ unit tests, a bounded libFuzzer run of each fuzz
// target (when clang's fuzzer runtime is installed), the JavaScript suite,
// the browser test and the Windows x64 addon under Wine (on Linux x64).
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const logDir = path.join(root, 'build-logs');
const failures = [];
// No step may hold the whole run hostage: one that hangs is stopped here,
// and its log shows where.
const stepTimeoutMs = 20 * 60 * 1000;

// The lines of a log that say what went wrong, for the closing summary.
function digest(text) {
  const telling = /\bFAILED\b|Failure|^not ok|^\s+not ok|Sanitizer|SUMMARY:|error:|Error:|Error \[|timed out|Expected|Which is|Value of|Actual|expected|actual|^\s+#[0-4] 0x/;
  const lines = text.split('\n').filter((l) => telling.test(l) && !/^\s*(ok \d|# Subtest)/.test(l)).map((l) => l.slice(0, 200));
  return lines.slice(0, 16);
}

// One line that says how a passing step went: the test counts it printed,
// or else its last line.
function summary(text) {
  const lines = text.split('\n').map((l) => l.trim()).filter(Boolean);
  const counts = lines.filter((l) => /^# (tests|pass|fail|skipped) \d+$/.test(l) || /^\[  PASSED  \]/.test(l) ||
    /^Done \d+ runs/.test(l));
  return counts.length ? counts.join(', ') : (lines[lines.length - 1] || '');
}

// Runs one step with its output in a log file; true when it passed. Prints a
// summary line, and the tail of the log when the step failed. A failed step
// never keeps the steps that do not depend on it from running.
function step(name, cmd, args, options = {}) {
  fs.mkdirSync(logDir, { recursive: true });
  const logFile = path.join(logDir, `${name.toLowerCase().replace(/[^a-z0-9]+/g, '-').replace(/^-|-$/g, '')}.log`);
  const out = fs.openSync(logFile, 'w');
  const started = Date.now();
  process.stdout.write(`== ${name} ... `);
  const result = spawnSync(cmd, args, { cwd: root, stdio: ['ignore', out, out], timeout: stepTimeoutMs, ...options });
  fs.closeSync(out);
  const text = fs.readFileSync(logFile, 'utf8');
  const seconds = Math.round((Date.now() - started) / 1000);
  const where = path.relative(root, logFile);
  if (!result.error && result.status === 0) {
    console.log(`passed (${seconds} s): ${summary(text)}`);
    return true;
  }
  const why = result.error ? (result.error.code === 'ETIMEDOUT' ? 'timed out' : result.error.message)
    : result.signal ? `killed by ${result.signal}` : `exit code ${result.status}`;
  console.log(`FAILED (${why}, ${seconds} s; log: ${where})`);
  console.log(text.split('\n').slice(-60).map((l) => `    ${l}`).join('\n'));
  failures.push({ name, why, where, lines: digest(text) });
  return false;
}

function haveFuzzer() {
  return spawnSync('sh', ['-c', 'command -v clang++-14 && ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'],
    { stdio: 'ignore' }).status === 0;
}

function fuzz(runs) {
  const dir = path.join(root, 'build-fuzz');
  const flags = '-O1 -g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all';
  if (!fs.existsSync(path.join(dir, 'CMakeCache.txt'))) {
    step('fuzz: configure', 'cmake', ['-S', root, '-B', dir, '-DQUILLGATE_FUZZ=ON',
      '-DCMAKE_CXX_COMPILER=clang++-14', `-DCMAKE_CXX_FLAGS=${flags}`, '-DCMAKE_BUILD_TYPE=RelWithDebInfo']);
  }
  if (!step('fuzz: build', 'cmake', ['--build', dir, '--parallel', '2'])) return;
  for (const target of ['parse_request', 'parse_destination', 'tpkt']) {
    const corpus = fs.mkdtempSync(path.join(require('node:os').tmpdir(), `quillgate-fuzz-${target}-`));
    step(`fuzz: ${target} (${runs} runs)`, path.join(dir, `fuzz_${target}`),
      [`-runs=${runs}`, '-max_total_time=120', '-timeout=10', '-rss_limit_mb=2048', '-print_final_stats=1',
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
    failures.push({ name: `${name}: build under test`, why: 'not the instrumented build', lines: [] });
    console.log(`== ${name}: FAILED (not the instrumented build)`);
  }
  return ok;
}

function sanitizers() {
  const build = (dir, kind) => step(`${kind} sanitizer build`, process.execPath,
    [path.join(__dirname, 'build.js'), '--tests', '--build-dir', path.join(root, dir), '--',
      `-DQUILLGATE_SANITIZE=${kind}`, '-DCMAKE_BUILD_TYPE=RelWithDebInfo']);
  const env = (extra) => ({ env: { ...process.env, ...extra } });

  if (build('build-asan', 'address')) {
    const tests = path.join(root, 'build-asan', 'quillgate_tests');
    if (proveBuild('ASan+UBSan: C++ unit tests', tests, 'libasan')) {
      step('ASan+UBSan: C++ unit tests', tests, ['--gtest_brief=1'],
        env({ ASAN_OPTIONS: 'detect_leaks=1:halt_on_error=1:abort_on_error=1' }));
    }
    // node itself is not instrumented: the runtime is preloaded, and leak
    // checking (which would report node's own allocations at exit) is off.
    const libasan = spawnSync('g++', ['-print-file-name=libasan.so'], { encoding: 'utf8' }).stdout.trim();
    const addon = path.join(root, 'build-asan', 'quillgate.node');
    const options = env({ LD_PRELOAD: libasan, ASAN_OPTIONS: 'detect_leaks=0:halt_on_error=1:abort_on_error=1',
      QUILLGATE_ADDON: addon });
    if (proveBuild('ASan+UBSan: JavaScript tests', addon, 'libasan', options)) {
      step('ASan+UBSan: JavaScript tests', process.execPath, ['--test', '--test-concurrency=2', 'test/js/'], options);
    }
  }
  if (build('build-tsan', 'thread')) {
    const tests = path.join(root, 'build-tsan', 'quillgate_tests');
    if (proveBuild('TSan: C++ tests', tests, 'libtsan')) {
      step('TSan: C++ tests with real sockets and threads', tests,
        ['--gtest_brief=1', '--gtest_filter=Service*:Registry*:Lookup*'], env({ TSAN_OPTIONS: 'halt_on_error=1' }));
    }
  }
}

step('C++ unit tests', path.join(root, 'build', 'quillgate_tests'), ['--gtest_brief=1']);
if (haveFuzzer()) fuzz(Number(process.env.QUILLGATE_FUZZ_RUNS || 200000));
else console.log('== fuzz: SKIPPED (clang-14 with libclang-rt-14-dev is not installed)');
step('JavaScript tests', process.execPath, ['--test', '--test-concurrency=4', 'test/js/']);
// Once, not under the sanitizers: IronRDP's web client in headless Chromium,
// through the gateway to xrdp.
step('Browser test (Chromium, IronRDP web client, xrdp)', process.execPath, ['--test', 'test/browser/'],
  { env: { ...process.env, QUILLGATE_BROWSER_TEST: 'required' } });
// Cross-builds the Windows addon and runs end-to-end files with it in node.exe
// under Wine; one summary line, the rest in build-win32/test-win32.log.
if (process.platform === 'linux' && process.arch === 'x64') {
  step('Windows x64 under Wine', process.execPath, [path.join(__dirname, 'test-win32.js')]);
}
if (process.env.QUILLGATE_SANITIZERS === '0') console.log('== sanitizer builds: SKIPPED (QUILLGATE_SANITIZERS=0)');
else sanitizers();
// Load and descriptor tests, on their own: they hold thousands of sockets.
step('Load tests', 'sh', ['-c', 'ulimit -n "$(ulimit -Hn)" && exec "$0" --test test/load/', process.execPath]);
// Keeps the benchmark working; its figures mean nothing at this size.
step('Benchmark smoke run', process.execPath, [path.join(root, 'bench', 'run.js'), '--quick']);
// Alone: it packs the module, installs it with npm and runs other Node.js majors.
step('Packaging tests', process.execPath, ['--test', 'test/package/']);

// Last, so that the end of the output says what failed and why.
if (failures.length) {
  console.log('\nFailed steps:');
  for (const f of failures) {
    console.log(`- ${f.name}: ${f.why}${f.where ? ` (log: ${f.where})` : ''}`);
    for (const line of f.lines) console.log(`    ${line}`);
  }
  console.log(`\nFAILED: ${failures.map((f) => f.name).join(', ')}`);
  process.exit(1);
}
console.log('\nall test steps passed');
