'use strict';

// The package as users get it: the command line, the type declarations, and
// an npm pack tarball installed into fresh projects with nothing but node on
// PATH, run under several Node.js majors.
const test = require('node:test');
const { describe, before, after } = test;
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const { once } = require('node:events');
const { root, connectRaw, closedByPeer } = require('../js/helpers');
const { readmeBlocks, readmeFiles } = require('../js/support/readme');

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

// Official Node.js builds of other majors, from the npm registry, kept in
// build/ between runs; on x64 also the arm64 build of one major, run under
// qemu-user with the arm64 C and C++ libraries of the cross compiler.
const otherMajors = [18, 24];
const arm64Major = 22;
const qemu = ['qemu-aarch64', '-L', '/usr/aarch64-linux-gnu'];

function nodeOfMajor(major, arch = process.arch) {
  const dir = path.join(root, 'build', 'node-majors', `${arch}-${major}`);
  const bin = path.join(dir, 'node');
  if (fs.existsSync(bin)) return bin;
  fs.mkdirSync(dir, { recursive: true });
  const [report] = JSON.parse(execFileSync('npm', ['pack', '--json', '--prefer-offline', '--pack-destination', dir,
    `node-linux-${arch}@${major}`], { encoding: 'utf8', stdio: 'pipe', env: npmEnv(process.env.PATH) }));
  const tarball = path.join(dir, report.filename);
  // Unpacked aside and renamed: an interrupted run leaves no half a binary.
  const partial = fs.mkdtempSync(path.join(dir, 'partial-'));
  execFileSync('tar', ['-xzf', tarball, '-C', partial, '--strip-components=2', 'package/bin/node']);
  fs.renameSync(path.join(partial, 'node'), bin);
  fs.rmSync(partial, { recursive: true });
  fs.rmSync(tarball);
  return bin;
}

// npm as a child of this node, without the settings of an `npm test` around it.
function npmEnv(pathValue, extra = {}) {
  const env = Object.fromEntries(Object.entries(process.env).filter(([key]) => !/^npm_/i.test(key)));
  return { ...env, PATH: pathValue, npm_config_update_notifier: 'false', ...extra };
}

const npmCli = (() => {
  for (const dir of process.env.PATH.split(path.delimiter)) {
    if (fs.existsSync(path.join(dir, 'npm'))) return fs.realpathSync(path.join(dir, 'npm'));
  }
  throw new Error('npm not found on PATH');
})();

// Preloaded with -r: prints, as the process exits, the addon files mapped
// into it, as a JSON line after whatever the script printed.
const reportLoaded = `process.on('exit', () => console.log(JSON.stringify([...new Set(require('node:fs')
  .readFileSync('/proc/self/maps', 'utf8').split('\\n').map((l) => l.slice(l.indexOf('/')))
  .filter((f) => f.endsWith('.node')))])));`;

// Runs a script with the report preloaded; returns the script's JSON line
// and the mapped addons. `node` is a path, or a command line that ends in one.
function runReporting(node, args, options) {
  const [cmd, ...before] = [].concat(node);
  const result = spawnSync(cmd, [...before, '-r', path.join(options.cwd, 'loaded.js'), ...args],
    { encoding: 'utf8', ...options });
  const lines = result.stdout.trim().split('\n');
  return { result, addon: JSON.parse(lines.pop() || 'null'), out: lines.length ? JSON.parse(lines.pop()) : undefined };
}

// What readelf says about a shared object.
function elf(file) {
  const readelf = (...args) => execFileSync('readelf', ['-W', ...args, file], { encoding: 'utf8' });
  const versions = readelf('-V');
  return {
    machine: /Machine:\s+(.+)/.exec(readelf('-h'))[1].trim(),
    needed: [...readelf('-d').matchAll(/\(NEEDED\).*\[(.+)\]/g)].map((m) => m[1]).sort(),
    versions: [...versions.slice(versions.indexOf('Version needs')).matchAll(/Name: (\S+)/g)].map((m) => m[1]),
    exported: readelf('--dyn-syms').split('\n').map((line) => line.trim().split(/\s+/))
      .filter((f) => /^\d+:$/.test(f[0]) && f[6] !== 'UND' && ['GLOBAL', 'WEAK'].includes(f[4]) && f[7])
      .map((f) => f[7]),
  };
}

// What objdump says about a Windows DLL: its machine, the DLLs it imports
// from and the names it exports.
function pe(file) {
  const dump = execFileSync('x86_64-w64-mingw32-objdump', ['-p', '-f', file], { encoding: 'utf8', maxBuffer: 256 << 20 });
  const exports = dump.slice(dump.indexOf('[Ordinal/Name Pointer] Table'));
  return {
    format: /file format (\S+)/.exec(dump)[1],
    dll: /^Characteristics [^\n]*(\n\t[^\n]*)*\n\tDLL$/m.test(dump),
    needed: [...dump.matchAll(/^\tDLL Name: (\S+)$/gm)].map((m) => m[1].toLowerCase()).sort(),
    exported: dump.includes('[Ordinal/Name Pointer] Table')
      ? [...exports.matchAll(/^\t\[\s*\d+\] (\S+)$/gm)].map((m) => m[1]) : [],
  };
}

const platforms = {
  'linux-x64': { machine: 'Advanced Micro Devices X86-64', loader: 'ld-linux-x86-64.so.2' },
  'linux-arm64': { machine: 'AArch64', loader: 'ld-linux-aarch64.so.1' },
  // Windows system DLLs only: the C runtime that ships with Windows, and no
  // node.exe (Node-API is looked up in whatever process loads the addon).
  'win32-x64': {
    format: 'pei-x86-64',
    allowed: ['kernel32.dll', 'msvcrt.dll', 'ws2_32.dll', 'mswsock.dll', 'crypt32.dll', 'bcrypt.dll', 'user32.dll',
      'advapi32.dll', 'gdi32.dll'],
  },
};

describe('the npm package', { timeout: 600000 }, () => {
  let work;
  let tarball;
  let files;
  let bin; // a directory holding node alone: no compiler, CMake or make
  const projects = {};

  function install(name, args, env = {}) {
    const project = path.join(work, name);
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, 'package.json'), `{"name":"${name}","version":"1.0.0","private":true}`);
    const result = npm(project, ['install', '--prefer-offline', '--no-audit', '--no-fund', ...args, tarball], env);
    assert.equal(result.status, 0, result.stderr);
    projects[name] = path.join(project, 'node_modules', 'quillgate');
    return { project, output: result.stdout + result.stderr };
  }

  function npm(cwd, args, env = {}) {
    // npm finds its script shell on PATH unless told where it is.
    return spawnSync(process.execPath, [npmCli, ...args],
      { cwd, encoding: 'utf8', env: npmEnv(bin, { npm_config_script_shell: '/bin/sh', ...env }) });
  }

  before(() => {
    work = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-pack-'));
    bin = path.join(work, 'bin');
    fs.mkdirSync(bin);
    fs.symlinkSync(process.execPath, path.join(bin, 'node'));
    const [report] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', work],
      { cwd: root, encoding: 'utf8', stdio: 'pipe', env: npmEnv(process.env.PATH) }));
    tarball = path.join(work, report.filename);
    files = report.files.map((f) => f.path);
  });
  after(() => fs.rmSync(work, { recursive: true, force: true }));

  test('carries the prebuilt binary, the licences and the sources, and leaves no binary in the tree', () => {
    const cross = process.arch === 'x64' ? ['win32-x64', 'linux-arm64'].map((p) => `prebuilds/${p}/quillgate.node`) : [];
    for (const file of [`prebuilds/linux-${process.arch}/quillgate.node`, ...cross, 'LICENSE', 'THIRD_PARTY_NOTICES.md',
      'index.mjs', 'index.d.mts', 'scripts/install.js', 'CMakeLists.txt', 'src/addon.map', 'src/addon.cpp',
      'web/index.html', 'web/client.js', 'lib/web-server.js', 'docs/web-page.png', 'README.md', 'CONTRIBUTING.md']) {
      assert.ok(files.includes(file), `${file} is in the package`);
    }
    assert.deepEqual(files.filter((f) => /^(build|test|bench)\//.test(f)), []);
    assert.equal(fs.existsSync(path.join(root, 'prebuilds')), false, 'postpack removed prebuilds/');
  });

  test('installed with --ignore-scripts and only node on PATH, it runs under several Node.js majors (on x64 ' +
    'also the arm64 binary under qemu-user), from CommonJS and as an ES module with types', () => {
    const { project } = install('app', ['--ignore-scripts']);
    assert.equal(fs.existsSync(path.join(projects.app, 'build')), false);
    const prebuilt = (arch) => fs.realpathSync(path.join(projects.app, 'prebuilds', `linux-${arch}`, 'quillgate.node'));
    fs.writeFileSync(path.join(project, 'loaded.js'), reportLoaded);
    // A WebSocket handshake (RFC 6455's example key), then a stop that
    // closes the connection still open.
    fs.writeFileSync(path.join(project, 'cjs.js'), `const q = require('quillgate');
      const port = q.startProxy(); const now = q.getStatus();
      const socket = require('node:net').connect(port, '127.0.0.1', () => socket.write(['GET / HTTP/1.1',
        'Host: 127.0.0.1', 'Upgrade: websocket', 'Connection: Upgrade', 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==',
        'Sec-WebSocket-Version: 13', '', ''].join('\\r\\n')));
      let reply = '';
      let listed;
      socket.on('data', (data) => {
        reply += data;
        if (listed || !reply.includes('\\r\\n\\r\\n')) return;
        listed = q.getConnectionStats().map((c) => c.state);
        q.stopProxy();
      });
      socket.on('close', () => console.log(JSON.stringify({ running: now.running, port: now.port === port,
        after: q.getStatus().running, status: reply.split('\\r\\n')[0], listed,
        accept: reply.includes('\\r\\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\\r\\n') })));`);
    fs.writeFileSync(path.join(project, 'esm.mjs'), `// @ts-check
      import quillgate, { startProxy, getStatus, stopProxy, getConnectionStats } from 'quillgate';
      /** @type {number} */
      const port = startProxy();
      /** @type {import('quillgate').ProxyStatus} */
      const now = getStatus();
      /** @type {number} */
      const narrowed = now.running ? now.port : 0;
      // @ts-expect-error the status is an object
      /** @type {number} */ const wrong = getStatus();
      /** @type {import('quillgate').ConnectionStat[]} */
      const list = getConnectionStats();
      stopProxy();
      console.log(JSON.stringify({ running: now.running, port: now.port === port, after: quillgate.getStatus().running,
        same: quillgate.startProxy === startProxy, list: list.length, wrong: typeof wrong, narrowed: narrowed === port }));`);
    const nodes = [process.execPath, ...otherMajors.map((major) => nodeOfMajor(major))]
      .map((node) => ({ node: [node], arch: process.arch }));
    if (process.arch === 'x64') nodes.push({ node: [...qemu, nodeOfMajor(arm64Major, 'arm64')], arch: 'arm64' });
    for (const { node, arch } of nodes) {
      const [cmd, ...before] = node;
      const version = `${execFileSync(cmd, [...before, '--version'], { encoding: 'utf8' }).trim()} ${arch}`;
      for (const script of ['cjs.js', 'esm.mjs']) {
        // Generous: node starts slowly under qemu. A guard against a hang, not a measure.
        const { result, addon, out } = runReporting(node, [script], { cwd: project, timeout: 300000 });
        assert.equal(result.status, 0, `${script} under ${version}: ${result.error?.message ?? ''} ${result.stderr}`);
        assert.deepEqual(addon, [prebuilt(arch)], `${script} under ${version}`);
        assert.deepEqual([out.running, out.port, out.after], [true, true, false], `${script} under ${version}`);
        if (script === 'cjs.js') {
          assert.deepEqual([out.status, out.accept, out.listed], ['HTTP/1.1 101 Switching Protocols', true, ['handshaking']],
            `${script} under ${version}`);
        }
        if (script === 'esm.mjs') assert.deepEqual([out.same, out.list, out.narrowed], [true, 0, true]);
      }
    }
    const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
    const typed = spawnSync(process.execPath, [tsc, '--noEmit', '--strict', '--allowJs', '--checkJs', '--module',
      'nodenext', '--moduleResolution', 'nodenext', 'esm.mjs'], { cwd: project, encoding: 'utf8' });
    assert.equal(typed.status, 0, typed.stdout);
  });

  test('a plain install carries no web client: quillgate --web names the two packages in one line and runs ' +
    'nothing; with them installed as it says, it serves the page for its gateway; --version', async () => {
    const { project } = install('web', ['--ignore-scripts']);
    assert.equal(fs.existsSync(path.join(project, 'node_modules', '@devolutions')), false);
    const cli = path.join(project, 'node_modules', '.bin', 'quillgate');
    const run = (args) => spawnSync(process.execPath, [cli, ...args], { cwd: project, encoding: 'utf8', timeout: 30000 });
    const version = run(['--version']);
    assert.deepEqual([version.status, version.stdout], [0, `${require(path.join(root, 'package.json')).version}\n`]);

    const bare = run(['--web']);
    assert.deepEqual([bare.status, bare.stdout], [1, '']);
    assert.equal(bare.stderr.split('\n').length, 2, bare.stderr);
    const [, command] = /^quillgate: the page needs IronRDP's web client, which is not installed \(.+\); install it with: (npm install .+)\n$/
      .exec(bare.stderr) ?? [];
    assert.ok(command, bare.stderr);
    const packages = command.split(' ').slice(2);
    assert.deepEqual(packages, ['@devolutions/iron-remote-desktop@0.11.0', '@devolutions/iron-remote-desktop-rdp@0.7.0']);
    const added = npm(project, ['install', '--prefer-offline', '--no-audit', '--no-fund', ...packages]);
    assert.equal(added.status, 0, added.stderr);

    const child = spawn(process.execPath, [cli, '--web'], { cwd: project });
    try {
      const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
      const gateway = (await lines.next()).value;
      const [, page] = /^open (http:\/\/127\.0\.0\.1:\d+\/) in a browser$/.exec((await lines.next()).value) ?? [];
      assert.match(gateway, /^ws:\/\/127\.0\.0\.1:\d+$/);
      assert.ok(page);
      const html = await (await fetch(page)).text();
      assert.ok(html.includes(`<meta name="quillgate-gateway" content="${gateway}">`), html);
      const { imports } = JSON.parse(/<script type="importmap">(.*?)<\/script>/.exec(html)[1]);
      const rdp = await fetch(new URL(imports['@devolutions/iron-remote-desktop-rdp'], page));
      assert.deepEqual([rdp.status, rdp.headers.get('content-type')], [200, 'text/javascript; charset=utf-8']);
      assert.equal(Buffer.from(await rdp.arrayBuffer()).length,
        fs.statSync(path.join(project, 'node_modules', '@devolutions', 'iron-remote-desktop-rdp', 'iron-remote-desktop-rdp.js')).size);
      child.kill('SIGTERM');
      assert.deepEqual(await once(child, 'exit'), [0, null]);
      await assert.rejects(fetch(page));
    } finally {
      child.kill('SIGKILL');
    }
  });

  // What the browser test runs of the README: the page's half of the web
  // client and Electron examples.
  const inBrowser = ['desktop.js', 'index.html', 'renderer.js'];

  test('the README\'s code blocks run as written in a fresh project: its shell commands, the API example, ' +
    'Electron\'s main process and preload under Node.js with a stand-in for Electron, and its packaging patterns', async () => {
    const blocks = readmeBlocks();
    const files = readmeFiles(blocks);
    // Each block is run here or in the browser test, none is left out.
    assert.deepEqual(blocks.filter((b) => !b.name).map((b) => b.lang), ['mermaid', 'sh', 'sh']);
    assert.deepEqual(Object.keys(files).sort(), ['app.js', 'main.js', 'package.json', 'preload.js', ...inBrowser].sort());
    const project = path.join(work, 'readme');
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, 'package.json'), '{"name":"readme","version":"1.0.0","private":true}');

    for (const line of blocks.filter((b) => b.lang === 'sh').flatMap((b) => b.text.trim().split('\n'))) {
      const [command, ...args] = line.split(/\s+/);
      if (command === 'npm' && args[0] === 'install') {
        // quillgate is the packed tarball; the rest comes from the cache.
        const result = npm(project, ['install', '--prefer-offline', '--no-audit', '--no-fund',
          ...args.slice(1).map((a) => (a === 'quillgate' ? tarball : a))]);
        assert.equal(result.status, 0, `${line}: ${result.stderr}`);
      } else if (command === 'npx' && args[0] === 'quillgate' && args.includes('--web')) {
        const npx = path.join(path.dirname(npmCli), 'npx-cli.js');
        // A process group of its own, for Ctrl-C as a terminal sends it: to npx and the quillgate it runs.
        const child = spawn(process.execPath, [npx, ...args], { cwd: project, detached: true,
          env: npmEnv(bin, { npm_config_script_shell: '/bin/sh' }) });
        const group = (signal) => {
          try {
            process.kill(-child.pid, signal);
          } catch {}
        };
        try {
          const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
          let page;
          for (let next; !page && !(next = await lines.next()).done;) page = /^open (\S+) in a browser$/.exec(next.value)?.[1];
          assert.ok(page, line);
          assert.match(await (await fetch(page)).text(), /<meta name="quillgate-gateway" content="ws:\/\/127\.0\.0\.1:\d+">/);
          group('SIGINT');
          await once(child, 'exit');
          await assert.rejects(fetch(page), undefined, `${line}: still serving after Ctrl-C`);
        } finally {
          group('SIGKILL');
        }
      } else {
        assert.fail(`README: no test runs the shell line ${line}`);
      }
    }
    for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(project, name), text);

    // A handshake of RFC 6455's example: the gateway on `port` answers.
    const handshake = async (port) => {
      const socket = await connectRaw(port);
      socket.write(['GET / HTTP/1.1', 'Host: 127.0.0.1', 'Upgrade: websocket', 'Connection: Upgrade',
        'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==', 'Sec-WebSocket-Version: 13', '', ''].join('\r\n'));
      const [reply] = await once(socket, 'data');
      socket.destroy();
      return reply.toString('latin1').split('\r\n')[0];
    };
    // `next(what)` resolves with its next line of output; rejects when there is none.
    const started = (file, stdio) => {
      const child = spawn(process.execPath, [file], { cwd: project, stdio });
      const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
      const next = async (what) => {
        const { done, value } = await lines.next();
        if (done) throw new Error(`${file} ended before ${what}`);
        return value;
      };
      return { child, next };
    };

    // The API example: prints the address and the status, stops on SIGTERM and exits by itself.
    const app = started('app.js', ['ignore', 'pipe', 'inherit']);
    try {
      const [, port] = /^the web client's proxy address: ws:\/\/127\.0\.0\.1:(\d+)$/.exec(await app.next('the address')) ?? [];
      assert.ok(port);
      // The status, as console.log() prints it over one or more lines.
      while (!/running: true/.test(await app.next('the status')));
      assert.equal(await handshake(Number(port)), 'HTTP/1.1 101 Switching Protocols');
      app.child.kill('SIGTERM');
      assert.deepEqual(await once(app.child, 'exit'), [0, null]);
      await assert.rejects(connectRaw(Number(port)));
    } finally {
      app.child.kill('SIGKILL');
    }

    // Electron's modules, as much of them as main.js and preload.js use;
    // the preload runs in the same process, so its invoke reaches ipcMain.
    fs.mkdirSync(path.join(project, 'node_modules', 'electron'));
    fs.writeFileSync(path.join(project, 'node_modules', 'electron', 'index.js'), `
      const handlers = new Map();
      const listeners = new Map();
      exports.windows = [];
      exports.exposed = {};
      exports.app = { whenReady: async () => {}, on: (name, fn) => listeners.set(name, fn), quit: () => (exports.quit = true),
        emit: (name) => listeners.get(name)() };
      exports.ipcMain = { handle: (channel, fn) => handlers.set(channel, fn) };
      exports.BrowserWindow = class { constructor(options) { exports.windows.push(this); this.options = options; }
        loadFile(file) { this.loaded = file; } };
      exports.contextBridge = { exposeInMainWorld: (key, api) => (exports.exposed[key] = api) };
      exports.ipcRenderer = { invoke: async (channel, ...args) => handlers.get(channel)({}, ...args) };`);
    fs.writeFileSync(path.join(project, 'electron-run.js'), `
      const electron = require('electron');
      require('./main.js');
      setTimeout(async () => {
        const [window] = electron.windows;
        require(window.options.webPreferences.preload);
        console.log(JSON.stringify({ port: await electron.exposed.quillgate.port(), loaded: window.loaded,
          preload: window.options.webPreferences.preload }));
        process.stdin.once('data', () => {
          process.stdin.destroy();
          electron.app.emit('window-all-closed');
          console.log(JSON.stringify({ quit: electron.quit }));
        });
      });`);
    const electron = started('electron-run.js', ['pipe', 'pipe', 'inherit']);
    try {
      const window = JSON.parse(await electron.next('the window'));
      assert.deepEqual([window.loaded, window.preload], ['index.html', path.join(project, 'preload.js')]);
      assert.equal(await handshake(window.port), 'HTTP/1.1 101 Switching Protocols');
      const idle = await connectRaw(window.port);
      electron.child.stdin.write('close\n');
      assert.deepEqual(JSON.parse(await electron.next('the quit')), { quit: true });
      assert.deepEqual(await once(electron.child, 'exit'), [0, null]);
      await closedByPeer(idle);
    } finally {
      electron.child.kill('SIGKILL');
    }

    // electron-builder's patterns name the package's files (build/ only
    // after a source build).
    const installed = path.join(project, 'node_modules', 'quillgate');
    const packaged = [...fs.readdirSync(installed, { recursive: true }), 'build/quillgate.node']
      .map((f) => `node_modules/quillgate/${f.split(path.sep).join('/')}`);
    const { build } = JSON.parse(files['package.json']);
    const patterns = [...build.asarUnpack, ...build.linux.files, ...build.win.files];
    for (const pattern of patterns) {
      const glob = new RegExp(`^${pattern.replace(/^!/, '').replace(/[.+?^${}()|[\]\\]/g, '\\$&')
        .replace(/\*\*/g, '\0').replace(/\*/g, '[^/]*').replace(/\0/g, '.*')}$`);
      assert.ok(packaged.some((f) => glob.test(f)), `${pattern} names none of the package's files`);
    }
  });

  test('each prebuilt binary stays within the glibc floor, needs only the C and C++ runtimes (Windows: only ' +
    'system DLLs), exports only the Node-API entry point and matches its folder', () => {
    const { floor, compareVersions } = require(path.join(root, 'lib', 'native'));
    const folders = fs.readdirSync(path.join(projects.app, 'prebuilds'));
    assert.ok(folders.length >= 1);
    const needs = [];
    for (const folder of folders) {
      const platform = platforms[folder];
      assert.ok(platform, `${folder}: no checks defined for this platform`);
      if (platform.format) {
        const facts = pe(path.join(projects.app, 'prebuilds', folder, 'quillgate.node'));
        assert.deepEqual([facts.format, facts.dll], [platform.format, true], folder);
        assert.deepEqual(facts.exported, ['napi_register_module_v1'], folder);
        assert.deepEqual(facts.needed.filter((lib) => !platform.allowed.includes(lib)), [], folder);
        continue;
      }
      const facts = elf(path.join(projects.app, 'prebuilds', folder, 'quillgate.node'));
      assert.equal(facts.machine, platform.machine, folder);
      assert.deepEqual(facts.exported, ['napi_register_module_v1'], folder);
      const allowed = ['libc.so.6', 'libm.so.6', 'libstdc++.so.6', 'libgcc_s.so.1', platform.loader];
      assert.deepEqual(facts.needed.filter((lib) => !allowed.includes(lib)), [], folder);
      for (const version of facts.versions) {
        const [, space, number] = /^([A-Z]+)_([\d.]+)$/.exec(version) || [];
        assert.ok(floor[space] && compareVersions(number, floor[space]) <= 0,
          `${folder} needs ${version}, beyond the floor ${JSON.stringify(floor)}`);
      }
      needs.push(...facts.versions);
    }
    assert.ok(needs.includes(`GLIBC_${floor.GLIBC}`), 'the stated floor is what the binaries need');
  });

  // Each string comes from one of OpenSSL's own tables (the default
  // provider's algorithm names, the curve table, error reasons, the SSL
  // session's ASN.1 fields, the SRTP profiles of DTLS) and is in the Linux
  // binary, whose Debian OpenSSL has them built in: none can be missing from
  // the Windows binary for another reason. The DTLS methods have no strings
  // (and DTLS's protocol names sit in tables shared with TLS): their symbols
  // are looked for in the unstripped builds instead.
  const leftOut = {
    'no-sm2': 'SM2:1.2.156.10197.1.301', 'no-sm3': 'SM3:1.2.156.10197.1.401',
    'no-sm4': 'SM4-CBC:SM4:1.2.156.10197.1.104.2', 'no-cmp': 'bad checkafter in pollrep',
    'no-ec2m': 'NIST/SECG curve over a 163 bit binary field', 'no-srtp': 'SRTP_AES128_CM_SHA1_80',
    'no-srp': 'srp_username', 'no-psk': 'psk_identity_hint', 'no-comp': 'zlib inflate error',
    'no-engine': 'conflicting engine id', 'no-ocsp': 'OCSP_BASICRESP', 'no-des': 'DES-EDE3-CBC:DES3:1.2.840.113549.3.7',
    'no-camellia': 'CAMELLIA-256-CBC:CAMELLIA256:', 'no-aria': 'ARIA-256-GCM:1.2.410.200046.1.1.36',
    'no-rmd160': 'RIPEMD-160:RIPEMD160:', 'no-blake2': 'BLAKE2B-512:BLAKE2b512:', 'no-scrypt': 'SCRYPT:id-scrypt:',
    'no-siphash': 'OpenSSL SIPHASH via EVP_PKEY', 'no-cmac': 'OpenSSL CMAC via EVP_PKEY',
  };
  const leftOutSymbols = { 'no-dtls1_2-method': 'DTLSv1_2_client_method', 'no-dtls1-method': 'DTLSv1_client_method' };

  test('the Windows binary names the OpenSSL it was built with and carries none of what that build leaves out',
    { skip: process.arch !== 'x64' && 'the Windows binary is built on x64 hosts only' }, () => {
      const { configureArgs } = require(path.join(root, 'scripts', 'build-win32'));
      const built = /^QUILLGATE_OPENSSL_INCLUDE:PATH=(.+)$/m
        .exec(fs.readFileSync(path.join(root, 'build-win32', 'CMakeCache.txt'), 'utf8'))[1];
      const recorded = path.join(built, '..', 'configuration.txt');
      assert.ok(fs.existsSync(recorded), `${built} is not an OpenSSL that scripts/build-win32.js built`);
      assert.equal(fs.readFileSync(recorded, 'utf8'), `${configureArgs.join('\n')}\n`);
      const text = /^# define OPENSSL_VERSION_TEXT "(.+)"$/m
        .exec(fs.readFileSync(path.join(built, 'openssl', 'opensslv.h'), 'utf8'))[1];
      const windows = fs.readFileSync(path.join(projects.app, 'prebuilds', 'win32-x64', 'quillgate.node'), 'latin1');
      const linux = fs.readFileSync(path.join(projects.app, 'prebuilds', 'linux-x64', 'quillgate.node'), 'latin1');
      assert.deepEqual([...windows.matchAll(/OpenSSL \d+\.\d+\.\d+[^\0]*/g)].map((m) => m[0]), [text]);
      const symbols = (nm, file) => execFileSync(nm, [file], { encoding: 'utf8', maxBuffer: 256 << 20 });
      const [linuxSymbols, windowsSymbols] = [symbols('nm', path.join(root, 'build', 'quillgate.node')),
        symbols('x86_64-w64-mingw32-nm', path.join(root, 'build-win32', 'quillgate.node'))];
      for (const [option, string] of Object.entries(leftOut)) {
        assert.ok(configureArgs.includes(option), `${option} is in the configuration`);
        assert.ok(linux.includes(string), `${option}: "${string}" is in the Linux binary`);
        assert.ok(!windows.includes(string), `${option}: "${string}" is not in the Windows binary`);
      }
      for (const [option, symbol] of Object.entries(leftOutSymbols)) {
        const defined = new RegExp(`^[0-9a-f]+ [Tt] ${symbol}$`, 'm');
        assert.ok(configureArgs.includes(option), `${option} is in the configuration`);
        assert.match(linuxSymbols, defined, `${option}: ${symbol} is in the Linux build`);
        assert.doesNotMatch(windowsSymbols, defined, `${option}: ${symbol} is not in the Windows build`);
      }
    });

  test('the install script does nothing when the prebuilt binary loads and builds from source when asked, ' +
    'naming what is missing', () => {
    const { output } = install('scripted', ['--foreground-scripts']);
    assert.match(output, /> node scripts\/install\.js/);
    assert.equal(fs.existsSync(path.join(projects.scripted, 'build')), false);
    const missing = new RegExp('^(npm error )?quillgate: CMake \\(3\\.20 or later\\) is needed to build from source ' +
      'and was not found \\(cmake\\); install it: Debian/Ubuntu: cmake, Fedora: cmake$', 'm');
    for (const run of [
      () => npm(path.dirname(path.dirname(projects.scripted)), ['rebuild', 'quillgate', '--build-from-source']),
      () => spawnSync(process.execPath, ['scripts/install.js'], { cwd: projects.scripted, encoding: 'utf8',
        env: npmEnv(bin, { QUILLGATE_BUILD_FROM_SOURCE: '1' }) }),
    ]) {
      const result = run();
      assert.notEqual(result.status, 0);
      const output = result.stdout + result.stderr;
      assert.match(output, missing);
      assert.match(output, /Debian\/Ubuntu: g\+\+, Fedora: gcc-c\+\+/);
      assert.doesNotMatch(output, /^\s+at /m, 'no stack trace');
    }
  });

  test('the loader: a named addon never falls back, a source build comes before the prebuilt binary, ' +
    'and a host below the glibc floor is told so', () => {
    const cwd = path.dirname(path.dirname(projects.app));
    const run = (args, env = {}) => runReporting(process.execPath, args, { cwd, env: { ...process.env, ...env } });
    const load = "require('quillgate')";

    const { result: named } = run(['-e', load], { QUILLGATE_ADDON: path.join(work, 'missing.node') });
    assert.notEqual(named.status, 0);
    assert.match(named.stderr, /QUILLGATE_ADDON names .*missing\.node, which does not load/);

    const build = path.join(projects.app, 'build');
    fs.mkdirSync(build);
    fs.symlinkSync(path.join(root, 'build', 'quillgate.node'), path.join(build, 'quillgate.node'));
    try {
      assert.deepEqual(run(['-e', load]).addon, [fs.realpathSync(path.join(root, 'build', 'quillgate.node'))]);
    } finally {
      fs.rmSync(build, { recursive: true });
    }

    // An older glibc, as the dynamic loader would report it.
    const fake = path.join(work, 'old-glibc.js');
    fs.writeFileSync(fake, `process.report.getReport = () => ({ header: { glibcVersionRuntime: '2.31' } });
      const dlopen = process.dlopen;
      process.dlopen = (module, file, ...rest) => {
        if (!file.includes('/prebuilds/')) return dlopen(module, file, ...rest);
        throw new Error(file + ": /lib/x86_64-linux-gnu/libc.so.6: version \`GLIBC_2.34' not found " +
          '(required by ' + file + ')');
      };`);
    const { result: old } = run(['-r', fake, '-e', load]);
    assert.notEqual(old.status, 0);
    assert.match(old.stderr, /no native addon loads on linux-/);
    assert.match(old.stderr, /source build .*build\/quillgate\.node: not present/);
    assert.match(old.stderr,
      /prebuilt binary .*: this host has glibc 2\.31; the prebuilt binary needs glibc 2\.34 or later/);
  });
});

test('a configure that fails on a missing library names the package and is not remembered', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-configure-'));
  try {
    const result = spawnSync(process.execPath, [path.join(root, 'scripts', 'build.js'), '--build-dir', dir, '--',
      '-DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON'], { encoding: 'utf8' });
    assert.equal(result.status, 1);
    assert.match(result.stderr.trim(), /^quillgate: Boost 1\.81 or later was not found; install it: Debian 12: /);
    assert.match(result.stderr, /libboost1\.81-dev, .*Fedora: boost-devel/);
    assert.equal(result.stderr.trim().split('\n').length, 1);
    assert.equal(fs.existsSync(path.join(dir, 'CMakeCache.txt')), false, 'the next run configures afresh');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
