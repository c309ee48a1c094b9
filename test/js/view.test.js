'use strict';

// The command line's views print host names that clients chose.
const test = require('node:test');
const assert = require('node:assert/strict');
const { render, describe, jsonLine } = require('../../lib/view');

test('client-chosen host names reach the terminal with control characters escaped', () => {
  const c = { connectionId: 'rdp-1', state: 'handshaking', startTimeMs: 0, rdpPort: 3389,
    rdpHost: '\x1b]0;owned\x07\x1b[2J\u009b31m\u202eevil\u200f\\', wsConnected: true, tcpConnected: false, tlsReady: false };
  const escaped = '\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\\u202eevil\\u200f\\x5c:3389';
  assert.equal(describe(c), `rdp-1 handshaking ${escaped} ws`);
  const table = render('ws://127.0.0.1:1', { running: true, startTimeMs: 0, activeConnections: 1, totalConnections: 1 }, [c], 0);
  assert.ok(table.includes(escaped));
  assert.doesNotMatch(table, /[\x00-\x09\x0b-\x1f\x7f-\x9f\p{Bidi_Control}]/u);
  const json = jsonLine(c);
  assert.doesNotMatch(json, /[\x00-\x1f\x7f-\x9f\p{Bidi_Control}]/u);
  assert.deepEqual(JSON.parse(json), c);
});
