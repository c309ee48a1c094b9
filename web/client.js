// A remote desktop in a web page: IronRDP's web client (the
// iron-remote-desktop web component and its WebAssembly RDP backend) through
// the quillgate gateway. Written to be read and copied: the lines that are
// about the gateway are marked "Gateway:".
import { Backend, init, enableCredssp, kdcProxyUrl, preConnectionBlob } from '@devolutions/iron-remote-desktop-rdp';
import '@devolutions/iron-remote-desktop';

// Gateway: its address is ws://127.0.0.1:<port>, where <port> is what
// startProxy() returned in the Node.js process (it changes at every start);
// a path after it is ignored, but for /KdcProxy, the KDC proxy's. This
// page's server writes it into the page; an Electron renderer asks its main
// process for it (see the README).
const gatewayAddress = document.querySelector('meta[name="quillgate-gateway"]').content;
// Gateway: the KDC proxy (for Kerberos) is on the same port.
const kdcProxyBase = `${gatewayAddress.replace(/^ws:/, 'http:')}/KdcProxy`;

const form = document.getElementById('connect');
const fields = document.getElementById('fields');
const button = document.getElementById('connect-button');
const status = document.getElementById('status');
const sessionArea = document.getElementById('session');

// The session now shown, if any: { element, ui }. Each connection gets a
// fresh element, so that nothing of an earlier one is left behind.
let current = null;
// Counts connections: one abandoned (Disconnect while connecting) is shut
// down whenever it finishes, and its outcome is not shown.
let attempt = 0;

function show(state, text) {
  status.dataset.state = state;
  status.textContent = text;
  const busy = state === 'connecting' || state === 'connected';
  button.textContent = busy ? 'Disconnect' : 'Connect';
  fields.disabled = busy;
}

// The web component, ready to connect: its `module` is set before it joins
// the page, since it reads it when it starts.
async function createElement(width, height) {
  const element = document.createElement('iron-remote-desktop');
  element.module = Backend;
  element.style.width = `${width}px`;
  element.style.height = `${height}px`;
  const ready = new Promise((resolve) => element.addEventListener('ready', (e) => resolve(e.detail.irgUserInteraction), { once: true }));
  // A session abandoned while connecting stays (hidden) until connect() has
  // shut it down: removed now, it could never be.
  for (const old of sessionArea.querySelectorAll('iron-remote-desktop:not([data-abandoned])')) old.remove();
  sessionArea.append(element);
  const ui = await ready;
  ui.setVisibility(true);
  return { element, ui };
}

function configFor(ui, values) {
  const [width, height] = values.size.split('x').map(Number);
  let builder = ui.configBuilder()
    .withProxyAddress(gatewayAddress)
    // Gateway: the client insists on a token; quillgate does not read it.
    .withAuthToken('unused')
    // Gateway: host, host:port or [v6]:port; port 3389 when none is given.
    .withDestination(values.destination.trim())
    .withUsername(values.username)
    .withPassword(values.password)
    .withDesktopSize({ width, height })
    .withExtension(enableCredssp(values.nla === 'on'));
  if (values.domain.trim()) builder = builder.withServerDomain(values.domain.trim());
  if (values.kerberos === 'on') {
    // Gateway: /KdcProxy sends to the realm's KDC; /KdcProxy/<host[:port]> to that one.
    const kdc = values.kdc.trim();
    builder = builder.withExtension(kdcProxyUrl(kdc ? `${kdcProxyBase}/${encodeURIComponent(kdc)}` : kdcProxyBase));
  }
  // Gateway: sent to the server as a pre-connection PDU ahead of the RDP connection.
  if (values.pcb) builder = builder.withExtension(preConnectionBlob(values.pcb));
  return builder.build();
}

async function connect(values) {
  const mine = ++attempt;
  show('connecting', `Connecting to ${values.destination.trim()}…`);
  const [width, height] = values.size.split('x').map(Number);
  const { element, ui } = await createElement(width, height);
  if (mine !== attempt) return element.remove();
  current = { element, ui, running: false };
  let info;
  try {
    info = await ui.connect(configFor(ui, values));
  } catch (error) {
    if (mine !== attempt) return element.remove();
    end();
    element.remove();  // nothing of a failed connection is left to end
    show('failed', describeError(error, values));
    return;
  }
  if (mine !== attempt) {
    // Abandoned while connecting: shut down as soon as it runs; how it
    // ends is not shown.
    const gone = () => element.remove();
    info.run().then(gone, gone);
    ui.shutdown();
    return;
  }
  current.running = true;
  show('connected', `Connected to ${values.destination.trim()} (${info.initialDesktopSize.width}×${info.initialDesktopSize.height}).`);
  element.focus();
  info.run().then(
    (termination) => mine === attempt && (end(), show('ended', `The session ended: ${termination.reason()}.`)),
    (error) => mine === attempt && (end(), show('failed', `The session failed. ${describeError(error)}`)),
  );
}

// Ends the session shown. One still connecting cannot be shut down yet: it
// is hidden, and connect() ends it when its connection is made or fails.
function end() {
  if (!current) return;
  const { element, ui, running } = current;
  current = null;
  if (!running) {
    element.dataset.abandoned = '';
    element.style.display = 'none';
    return;
  }
  ui.shutdown();
  element.remove();
}

form.addEventListener('submit', (event) => {
  event.preventDefault();
  if (status.dataset.state === 'connecting' || status.dataset.state === 'connected') {
    attempt++;
    end();
    show('ended', 'Disconnected.');
    return;
  }
  connect(Object.fromEntries(new FormData(form)));
});

// The client's errors, in words. Its errors have kind(), backtrace() (its
// message) and rdcleanpathDetails(): what the gateway's answer said.
const KINDS = {
  0: 'The connection failed.',
  1: 'The server refused the user name or password.',
  2: 'The server refused the logon.',
  3: 'The server denied access.',
  4: 'The gateway could not connect to the server.',
  5: 'The page could not reach the gateway: it is not running, or it refused this page (see the README\'s Security section).',
  6: 'The server refused the security protocols the client offered.',
};

// Windows Sockets codes, which the gateway sends for a failed connection
// (the same on every platform it runs on).
const WSA = {
  10013: 'permission denied', 10048: 'address in use', 10049: 'address not available', 10050: 'network down',
  10051: 'network unreachable', 10052: 'network reset', 10053: 'connection aborted', 10054: 'connection reset by the server',
  10055: 'no buffer space', 10060: 'connection timed out', 10061: 'connection refused (nothing listens there)',
  10064: 'host down', 10065: 'host unreachable', 11001: 'host not found', 11002: 'temporary failure in name resolution',
  11003: 'name resolution failed for good', 11004: 'the name has no address',
};

// TLS alerts a server can end a handshake with (RFC 8446, 6.2).
const ALERTS = {
  10: 'unexpected message', 20: 'bad record MAC', 22: 'record overflow', 40: 'handshake failure', 42: 'bad certificate',
  43: 'unsupported certificate', 44: 'certificate revoked', 45: 'certificate expired', 46: 'certificate unknown',
  47: 'illegal parameter', 48: 'unknown CA', 49: 'access denied', 50: 'decode error', 51: 'decrypt error',
  70: 'protocol version not supported', 71: 'insufficient security', 80: 'internal error', 86: 'inappropriate fallback',
  90: 'user canceled', 109: 'missing extension', 110: 'unsupported extension', 112: 'unrecognized name',
  116: 'certificate required', 120: 'no application protocol',
};

// The gateway's HTTP status: 400 for a request it could not use, 500 for a
// failure on the server's side.
const HTTP = { 400: 'the gateway could not use the request', 500: 'the gateway could not reach or talk to the server' };

function describeError(error, values) {
  if (typeof error?.kind !== 'function') return `The connection failed: ${error?.message ?? error}`;
  const kind = error.kind();
  const details = error.rdcleanpathDetails?.();
  const words = [KINDS[kind] ?? `The connection failed (error kind ${kind}).`];
  if (details?.httpStatusCode !== undefined) {
    words.push(`HTTP ${details.httpStatusCode}: ${HTTP[details.httpStatusCode] ?? 'the gateway refused'}.`);
  }
  if (details?.wsaErrorCode !== undefined) {
    words.push(`Connecting to the server: ${WSA[details.wsaErrorCode] ?? 'failed'} (Windows Sockets error ${details.wsaErrorCode}).`);
  }
  if (details?.tlsAlertCode !== undefined) {
    words.push(`The server ended the TLS handshake: ${ALERTS[details.tlsAlertCode] ?? 'alert'} (TLS alert ${details.tlsAlertCode}).`);
  }
  if (kind === 6 && values?.nla !== 'on') words.push('If it requires Network Level Authentication, choose that under Authentication.');
  if (kind === 0 && values?.nla === 'on') {
    words.push('Some servers simply close the connection when the user name, password or domain is wrong.');
  }
  words.push(`The client's message: ${error.backtrace()}`);
  return words.join('\n');
}

await init('INFO');
button.disabled = false;
form.dataset.ready = 'true';
