'use strict';

// Text views of the gateway's status and connections for the command line.

// Text a client chose, made safe for a terminal: control characters (which
// could set the window title, colours or the cursor), bidirectional overrides
// and backslashes become escapes.
function printable(text) {
  return text.replace(/[\x00-\x1f\x7f-\x9f\\\p{Bidi_Control}]/gu, (c) => {
    const code = c.charCodeAt(0);
    return code < 0x100 ? `\\x${code.toString(16).padStart(2, '0')}` : `\\u${code.toString(16)}`;
  });
}

// One JSON line, safe for a terminal too: JSON escapes only C0 controls,
// so DEL, C1 controls and bidirectional overrides are escaped as well.
function jsonLine(value) {
  return JSON.stringify(value).replace(/[\x7f-\x9f\p{Bidi_Control}]/gu,
    (c) => `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`);
}

function destination(c) {
  if (c.rdpHost === undefined) return '-';
  const host = printable(c.rdpHost);
  return host.includes(':') ? `[${host}]:${c.rdpPort}` : `${host}:${c.rdpPort}`;
}

function flags(c) {
  return [c.wsConnected && 'ws', c.tcpConnected && 'tcp', c.tlsReady && 'tls'].filter(Boolean).join(',') || '-';
}

function age(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  const pad = (n) => String(n).padStart(2, '0');
  return `${pad(Math.floor(s / 3600))}:${pad(Math.floor(s / 60) % 60)}:${pad(s % 60)}`;
}

// One line for a connection, as printed when it appears or changes.
function describe(c) {
  return `${c.connectionId} ${c.state} ${destination(c)} ${flags(c)}`;
}

// The changes between two maps of connections by id, in id order.
function diff(previous, current) {
  const changes = [];
  for (const [id, c] of current) {
    const before = previous.get(id);
    if (!before || describe(before) !== describe(c)) changes.push({ connection: c });
  }
  for (const id of previous.keys()) if (!current.has(id)) changes.push({ closed: id });
  const number = (change) => Number((change.closed ?? change.connection.connectionId).slice(4));
  return changes.sort((a, b) => number(a) - number(b));
}

// The live table shown on a terminal; `page`, a line under the header.
function render(url, status, connections, now, page) {
  const rows = [...connections]
    .sort((a, b) => Number(a.connectionId.slice(4)) - Number(b.connectionId.slice(4)))
    .map((c) => [c.connectionId, c.state, destination(c), flags(c), age(now - c.startTimeMs)]);
  const header = ['ID', 'STATE', 'DESTINATION', 'FLAGS', 'AGE'];
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const line = (cells) => cells.map((cell, i) => cell.padEnd(widths[i])).join('  ').trimEnd();
  const up = status.running ? `up ${age(now - status.startTimeMs)}` : 'not running';
  return [
    `quillgate ${url}  ${up}  active ${status.activeConnections}  total ${status.totalConnections}`,
    ...(page ? [page] : []),
    '',
    line(header),
    ...rows.map(line),
    rows.length ? '' : '(no connections)',
    'Ctrl-C stops the gateway.',
    '',
  ].join('\n');
}

module.exports = { render, describe, diff, jsonLine };
