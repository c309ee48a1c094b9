'use strict';

// The package as users get it: the command line, the type declarations, and
// an npm pack tarball installed into a fresh project.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn, execFileSync } = require('node:child_process');
const { once } = require('node:events');
const { root, connectRaw } = require('../js/helpers');

function startCli(args = []) {
  const child = spawn(process.execPath, [path.join(root, 'bin', 'quillgate.js'), ...args], { cwd: root });
  const lines = [];
  const waiters = [];
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    lines.push(line);
    for (const w of [...waiters]) if (w.test(line)) waiters.splice(waiters.indexOf(w), 1), w.resolve(line);
  });
  child.nextLine = (match) => {
    const found = lines.find((l) => match.test(l));
    if (found) return Promise.resolve(found);
    return new Promise((resolve) => waiters.push({ test: (l) => match.test(l), resolve }));
  };
  return child;
}

test('the command line prints the URL and one line per change, and stops cleanly on SIGTERM', async () => {
  const cli = startCli();
  const url = await cli.nextLine(/^ws:\/\//);
  const port = Number(new URL(url).port);
  const socket = await connectRaw(port);
  assert.equal(await cli.nextLine(/^rdp-1 /), 'rdp-1 handshaking - ws');
  socket.destroy();
  await cli.nextLine(/^rdp-1 closed$/);
  cli.kill('SIGTERM');
  const [code] = await once(cli, 'exit');
  assert.equal(code, 0);
  await assert.rejects(connectRaw(port));
});

test('the command line with --json prints one object per change', async () => {
  const cli = startCli(['--json']);
  const started = JSON.parse(await cli.nextLine(/"started"/));
  const socket = await connectRaw(started.port);
  const seen = JSON.parse(await cli.nextLine(/"connection"/));
  assert.equal(seen.connectionId, 'rdp-1');
  assert.equal(seen.state, 'handshaking');
  socket.destroy();
  cli.kill('SIGINT');
  assert.deepEqual(await once(cli, 'exit'), [0, null]);
});

test('the type declarations compile against real use', () => {
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  execFileSync(process.execPath, [tsc, '--noEmit', '--strict', '--esModuleInterop', 'false',
    path.join(root, 'test', 'types', 'usage.ts')], { cwd: root, stdio: 'pipe' });
});

test('npm pack output installs into a fresh project and works there', { timeout: 600000 }, async () => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-pack-'));
  try {
    const [tarball] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', work],
      { cwd: root, encoding: 'utf8' }));
    assert.ok(!tarball.files.some((f) => f.path.startsWith('build/') || f.path.startsWith('test/')));
    const project = path.join(work, 'app');
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, 'package.json'), '{"name":"app","version":"1.0.0","private":true}');
    execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(work, tarball.filename)],
      { cwd: project, stdio: 'pipe' });
    const out = execFileSync(process.execPath, ['-e',
      "const q = require('quillgate'); const p = q.startProxy(); console.log(JSON.stringify({ p, s: q.getStatus() })); q.stopProxy();"],
    { cwd: project, encoding: 'utf8' });
    const { p, s } = JSON.parse(out);
    assert.equal(s.port, p);
    assert.equal(s.running, true);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
