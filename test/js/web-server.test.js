'use strict';

// The file server of `quillgate --web`: what it serves, with which types,
// and every path it must refuse, sent as raw request lines (an HTTP client
// would tidy them up first).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { startWebServer, findClientPackages } = require('../../lib/web-server');
const { connectRaw, closedByPeer, waitFor } = require('./helpers');

// Sends one request as written; resolves with its status, headers and body.
function request(port, target, { method = 'GET', host = '127.0.0.1' } = {}) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, host, () =>
      socket.write(`${method} ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n`));
    const chunks = [];
    socket.on('data', (d) => chunks.push(d));
    socket.on('error', reject);
    socket.on('end', () => {
      const reply = Buffer.concat(chunks);
      const split = reply.indexOf('\r\n\r\n');
      const [statusLine, ...lines] = reply.subarray(0, split).toString('latin1').split('\r\n');
      const headers = Object.fromEntries(lines.map((l) => [l.slice(0, l.indexOf(':')).toLowerCase(), l.slice(l.indexOf(':') + 1).trim()]));
      resolve({ status: Number(statusLine.split(' ')[1]), headers, body: reply.subarray(split + 4) });
    });
  });
}

// Two stand-in packages (one with a WebAssembly file, a symbolic link out
// of it, a hidden file and a nested node_modules), and a file beside them
// that must never be served.
function fakePackages(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-web-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const secret = path.join(dir, 'secret.txt');
  fs.writeFileSync(secret, 'SECRET');
  const packages = {};
  for (const name of ['@devolutions/iron-remote-desktop', '@devolutions/iron-remote-desktop-rdp']) {
    const pkg = path.join(dir, name);
    fs.mkdirSync(path.join(pkg, 'sub'), { recursive: true });
    fs.writeFileSync(path.join(pkg, 'main.js'), `export const name = ${JSON.stringify(name)};\n`);
    packages[name] = { dir: fs.realpathSync(pkg), version: '0.0.1', main: './main.js' };
  }
  const rdp = packages['@devolutions/iron-remote-desktop-rdp'].dir;
  fs.writeFileSync(path.join(rdp, 'sub', 'client_bg.wasm'), Buffer.from([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0]));
  fs.writeFileSync(path.join(rdp, 'large.js'), Buffer.alloc(8 << 20, 0x20));
  fs.writeFileSync(path.join(rdp, '.npmrc'), 'SECRET');
  fs.symlinkSync(secret, path.join(rdp, 'link.js'));
  fs.symlinkSync(dir, path.join(rdp, 'up'));
  fs.mkdirSync(path.join(rdp, 'node_modules', 'x'), { recursive: true });
  fs.writeFileSync(path.join(rdp, 'node_modules', 'x', 'index.js'), 'SECRET');
  return packages;
}

test('serves the page with the gateway\'s address and an import map, the packages\' files with their types, ' +
  'on 127.0.0.1 only, and stops with connections open', async (t) => {
  const packages = fakePackages(t);
  const server = await startWebServer({ gatewayPort: 4567, packages });
  let closed = false;
  t.after(() => closed || server.close());
  assert.equal(server.url, `http://127.0.0.1:${server.port}/`);

  const page = await request(server.port, '/');
  assert.equal(page.status, 200);
  assert.equal(page.headers['content-type'], 'text/html; charset=utf-8');
  assert.equal(page.headers['cache-control'], 'no-store');
  const html = page.body.toString();
  assert.match(html, /<meta name="quillgate-gateway" content="ws:\/\/127\.0\.0\.1:4567">/);
  const { imports } = JSON.parse(/<script type="importmap">(.*?)<\/script>/.exec(html)[1]);
  assert.deepEqual(imports, {
    '@devolutions/iron-remote-desktop': '/modules/@devolutions/iron-remote-desktop/main.js',
    '@devolutions/iron-remote-desktop-rdp': '/modules/@devolutions/iron-remote-desktop-rdp/main.js',
  });
  for (const [name, url] of Object.entries(imports)) {
    const module = await request(server.port, url);
    assert.deepEqual([module.status, module.headers['content-type']], [200, 'text/javascript; charset=utf-8']);
    assert.equal(module.body.toString(), `export const name = ${JSON.stringify(name)};\n`);
  }
  const client = await request(server.port, '/client.js');
  assert.deepEqual([client.status, client.headers['content-type']], [200, 'text/javascript; charset=utf-8']);
  assert.deepEqual(client.body, fs.readFileSync(path.join(__dirname, '..', '..', 'web', 'client.js')));
  const wasm = await request(server.port, '/modules/@devolutions/iron-remote-desktop-rdp/sub/client_bg.wasm');
  assert.deepEqual([wasm.status, wasm.headers['content-type'], wasm.headers['x-content-type-options']],
    [200, 'application/wasm', 'nosniff']);
  assert.deepEqual(wasm.body, Buffer.from([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0]));
  const head = await request(server.port, '/client.js', { method: 'HEAD' });
  assert.deepEqual([head.status, head.body.length], [200, 0]);
  assert.equal(Number(head.headers['content-length']), client.body.length);
  const post = await request(server.port, '/', { method: 'POST' });
  assert.deepEqual([post.status, post.headers.allow], [405, 'GET, HEAD']);

  // Clients that leave in the middle of a large file leave no file open.
  const descriptors = () => fs.readdirSync('/proc/self/fd').length;
  const before = descriptors();
  for (let i = 0; i < 20; i++) {
    const socket = await connectRaw(server.port);
    socket.write('GET /modules/@devolutions/iron-remote-desktop-rdp/large.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n');
    await new Promise((resolve) => socket.once('data', resolve));
    socket.destroy();
  }
  await waitFor(() => descriptors() < before + 5, { what: 'the files of aborted downloads to close' });

  // Bound to 127.0.0.1 alone: another loopback address finds nothing.
  await assert.rejects(request(server.port, '/', { host: '127.0.0.2' }), { code: 'ECONNREFUSED' });

  const idle = await connectRaw(server.port);
  idle.write('GET /client.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n');  // kept alive
  await new Promise((resolve) => idle.once('data', resolve));
  await server.close();
  closed = true;
  await closedByPeer(idle);
  await assert.rejects(connectRaw(server.port));
});

test('every path outside the page and the two packages is 404, however it is written', async (t) => {
  const packages = fakePackages(t);
  const server = await startWebServer({ gatewayPort: 1, packages });
  t.after(() => server.close());
  const rdp = '/modules/@devolutions/iron-remote-desktop-rdp';
  const refused = [
    // Climbing out, plain and encoded.
    `${rdp}/../../../secret.txt`, `${rdp}/%2e%2e/%2e%2e/%2e%2e/secret.txt`, `${rdp}/%2E%2E/%2E%2E/%2E%2E/secret.txt`,
    `${rdp}/.%2e/.%2e/.%2e/secret.txt`, `${rdp}/..%2f..%2f..%2fsecret.txt`, `${rdp}/sub/../main.js`, `${rdp}/./main.js`,
    '/..', '/%2e%2e/lib/web-server.js',
    // Backslashes, plain and encoded.
    `${rdp}/..\\..\\..\\secret.txt`, `${rdp}/sub\\client_bg.wasm`, `${rdp}/..%5c..%5c..%5csecret.txt`,
    // Absolute paths.
    '//etc/passwd', '/%2fetc%2fpasswd', `${rdp}//etc/passwd`, `${rdp}/%2fetc%2fpasswd`, 'http://127.0.0.1/etc/passwd',
    `${rdp}/C:%5cWindows%5cwin.ini`, `${rdp}/C:/Windows/win.ini`, '*',
    // NUL, encoded (a raw NUL is not HTTP: see below).
    '/client.js%00', `${rdp}/main.js%00.txt`, `${rdp}/%00`,
    // Directories, hidden files, nested packages, links out, other packages.
    `${rdp}/`, rdp, `${rdp}/sub/`, '/modules/', '/modules', `${rdp}/.npmrc`, `${rdp}/node_modules/x/index.js`,
    `${rdp}/link.js`, `${rdp}/up/secret.txt`, '/modules/@devolutions/other/main.js', '/modules/ws/index.js',
    // What lies beside the page, and malformed encodings.
    '/index.html', '/web/client.js', '/lib/web-server.js', '/package.json', '/secret.txt', '/%', `${rdp}/%zz`,
  ];
  for (const target of refused) {
    const reply = await request(server.port, target);
    assert.equal(reply.status, 404, target);
    assert.doesNotMatch(reply.body.toString(), /SECRET|root:/, target);
  }
  // Node's parser answers a raw NUL or space in the path itself.
  for (const target of ['/client.js\0', `${rdp}/main.js\0.txt`]) {
    assert.equal((await request(server.port, target)).status, 400, JSON.stringify(target));
  }
  // The same files by their proper names.
  for (const target of [`${rdp}/main.js`, `${rdp}/sub/client_bg.wasm`, `${rdp}/%6dain.js`, '/?v=1', '/client.js?x#y']) {
    assert.equal((await request(server.port, target)).status, 200, target);
  }
});

test('the web client packages are found where require() finds them, or named in one line', (t) => {
  const here = findClientPackages();
  assert.deepEqual(Object.values(here).map((p) => p.version), ['0.11.0', '0.7.0']);
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'quillgate-nowhere-'));
  t.after(() => fs.rmSync(empty, { recursive: true, force: true }));
  assert.throws(() => findClientPackages([empty]), (error) => {
    assert.equal(error.message, 'the page needs IronRDP\'s web client, which is not installed ' +
      '(@devolutions/iron-remote-desktop, @devolutions/iron-remote-desktop-rdp); install it with: ' +
      'npm install @devolutions/iron-remote-desktop@0.11.0 @devolutions/iron-remote-desktop-rdp@0.7.0');
    return true;
  });
});
