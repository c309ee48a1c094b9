'use strict';

// The file server of `quillgate --web`: on 127.0.0.1, the page in web/ and
// the files of IronRDP's two web client packages, and nothing else. The page
// learns the gateway's address from the copy of index.html served here.
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { pipeline } = require('node:stream');

// The web client the page is written and tested against. Neither package is
// a dependency of quillgate (they are optional peer dependencies): a source
// checkout has them as development dependencies, an application installs
// them itself.
const CLIENT_PACKAGES = {
  '@devolutions/iron-remote-desktop': '0.11.0',
  '@devolutions/iron-remote-desktop-rdp': '0.7.0',
};

// Resolved like the packages' folders, which every served file is checked against.
const PAGE_DIR = fs.realpathSync(path.join(__dirname, '..', 'web'));

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.map': 'application/json',
  // Browsers compile WebAssembly as it streams in only when it comes with this type.
  '.wasm': 'application/wasm',
  '.ts': 'text/plain; charset=utf-8',
  '.md': 'text/plain; charset=utf-8',
  '.txt': 'text/plain; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

const installCommand = () =>
  `npm install ${Object.entries(CLIENT_PACKAGES).map(([name, version]) => `${name}@${version}`).join(' ')}`;

// Where each client package is: { name: { dir, version, main } }. Found from
// here as require() would find it, so in the application's node_modules too.
// Throws, saying in one line what to install, when either is missing.
function findClientPackages(paths = [__dirname]) {
  const found = {};
  const missing = [];
  for (const name of Object.keys(CLIENT_PACKAGES)) {
    let manifest;
    try {
      manifest = require.resolve(`${name}/package.json`, { paths });
    } catch {
      missing.push(name);
      continue;
    }
    const { version, main = 'index.js', module: esm } = JSON.parse(fs.readFileSync(manifest, 'utf8'));
    found[name] = { dir: fs.realpathSync(path.dirname(manifest)), version, main: esm ?? main };
  }
  if (missing.length) {
    const error = new Error(`the page needs IronRDP's web client, which is not installed (${missing.join(', ')}); ` +
      `install it with: ${installCommand()}`);
    error.code = 'QUILLGATE_NO_WEB_CLIENT';
    throw error;
  }
  return found;
}

// A line for each package whose version is not the one the page is tested with.
function untestedVersions(packages) {
  return Object.entries(packages).filter(([name, p]) => p.version !== CLIENT_PACKAGES[name])
    .map(([name, p]) => `${name} is ${p.version}; the page is tested with ${CLIENT_PACKAGES[name]}`);
}

// The page's index.html as served: the gateway's address in its
// quillgate-gateway meta element, and an import map that resolves the
// packages' names (as a bundler would) to their files on this server.
function renderPage(gatewayPort, packages) {
  const imports = Object.fromEntries(Object.entries(packages)
    .map(([name, p]) => [name, `/modules/${name}/${p.main.replace(/^\.\//, '')}`]));
  const html = fs.readFileSync(path.join(PAGE_DIR, 'index.html'), 'utf8');
  const filled = html
    .replace('<meta name="quillgate-gateway" content="">',
      `<meta name="quillgate-gateway" content="ws://127.0.0.1:${gatewayPort}">`)
    .replace('<script type="importmap">{}</script>',
      `<script type="importmap">${JSON.stringify({ imports }).replaceAll('<', '\\u003c')}</script>`);
  if (filled === html || !filled.includes(`ws://127.0.0.1:${gatewayPort}`) || filled.includes('importmap">{}<')) {
    throw new Error(`${path.join(PAGE_DIR, 'index.html')} lacks the gateway's meta element or the import map`);
  }
  return filled;
}

// The file a request path names, or null. The path is taken apart before it
// is decoded, and every decoded segment must be a plain name: no `..` or `.`
// (also as %2e), no empty segment (`//`), no slash, backslash, colon or NUL
// inside one (also encoded), no hidden files, nothing outside the page and
// the two packages, which symbolic links cannot leave either.
function resolveFile(target, packages) {
  if (!target.startsWith('/') || /[\\\0]/.test(target)) return null;
  const raw = target.split(/[?#]/)[0].slice(1);
  let segments;
  try {
    segments = raw === '' ? [] : raw.split('/').map(decodeURIComponent);
  } catch {
    return null;  // malformed percent-encoding
  }
  if (segments.some((s) => s === '' || s.startsWith('.') || /[/\\:\0]/.test(s) || s === 'node_modules')) return null;
  if (segments.length === 0) return { page: true };
  if (segments.length === 1 && segments[0] === 'client.js') return { file: path.join(PAGE_DIR, 'client.js'), root: PAGE_DIR };
  if (segments[0] !== 'modules' || segments.length < 4) return null;
  const owner = packages[`${segments[1]}/${segments[2]}`];
  if (!owner) return null;
  return { file: path.join(owner.dir, ...segments.slice(3)), root: owner.dir };
}

function refuse(res, status, headers = {}) {
  res.writeHead(status, { 'content-type': 'text/plain; charset=utf-8', 'x-content-type-options': 'nosniff', ...headers });
  res.end(`${status} ${http.STATUS_CODES[status]}\n`);
}

function handle(req, res, page, packages) {
  if (req.method !== 'GET' && req.method !== 'HEAD') return refuse(res, 405, { allow: 'GET, HEAD' });
  const found = resolveFile(req.url, packages);
  if (!found) return refuse(res, 404);
  const headers = { 'x-content-type-options': 'nosniff', 'cache-control': 'no-store' };
  if (found.page) {
    res.writeHead(200, { ...headers, 'content-type': TYPES['.html'], 'content-length': Buffer.byteLength(page) });
    return res.end(req.method === 'HEAD' ? undefined : page);
  }
  let real;
  let stat;
  try {
    real = fs.realpathSync(found.file);
    stat = fs.statSync(real);
  } catch {
    return refuse(res, 404);
  }
  if (!real.startsWith(found.root + path.sep) || !stat.isFile()) return refuse(res, 404);
  res.writeHead(200, { ...headers, 'content-type': TYPES[path.extname(real).toLowerCase()] ?? 'application/octet-stream',
    'content-length': stat.size });
  if (req.method === 'HEAD') return res.end();
  // pipeline, not pipe: a client that leaves mid-file closes the file too.
  pipeline(fs.createReadStream(real), res, () => {});
}

// Starts the file server on 127.0.0.1:`port` (0: one the system picks) for
// the gateway at `gatewayPort`. Resolves with { port, url, close() }; close()
// ends open connections too. `packages` (as findClientPackages returns them)
// is for tests.
async function startWebServer({ gatewayPort, port = 0, packages = findClientPackages() }) {
  const page = renderPage(gatewayPort, packages);
  const server = http.createServer((req, res) => handle(req, res, page, packages));
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve();
    });
  });
  const bound = server.address().port;
  return {
    port: bound,
    url: `http://127.0.0.1:${bound}/`,
    close: () => new Promise((resolve) => {
      server.close(() => resolve());
      server.closeAllConnections();
    }),
  };
}

module.exports = { startWebServer, findClientPackages, untestedVersions, CLIENT_PACKAGES };
