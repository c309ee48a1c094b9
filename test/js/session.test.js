'use strict';

// A connection through the gateway, end to end: a WebSocket client, the
// gateway in a child process with its diagnostic lines on, and a stand-in
// RDP server.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const { once } = require('node:events');
const { setTimeout: sleep } = require('node:timers/promises');
const { Gateway } = require('./support/gateway');
const { startRdpServer } = require('./support/rdp-server');
const { certificates } = require('./support/certs');
const { request, parseResponse, preconnectionPdu, tlv, readTlv, X224_REQUEST, X224_CONFIRM, X224_NEG_FAILURE } =
  require('./support/der');
const { waitFor, connectRaw, closedByPeer } = require('./helpers');

// Version 3390; error { error_code 1 (general), http_status_code 400 or 500 }.
const ERROR_400 = Buffer.from('3015a00402020d3ea10d300ba003020101a104020201' + '90', 'hex');
const ERROR_500 = Buffer.from('3015a00402020d3ea10d300ba003020101a104020201' + 'f4', 'hex');
// 500 with [2] wsa_last_error 10061 (connection refused), and with [3] tls_alert_code 40 (handshake failure).
const ERROR_500_REFUSED = Buffer.from('301ba00402020d3ea1133011a003020101a104020201f4' + 'a2040202274d', 'hex');
const ERROR_500_ALERT_40 = Buffer.from('301aa00402020d3ea1123010a003020101a104020201f4' + 'a303020128', 'hex');

let gateway;
test.before(async () => (gateway = await Gateway.start()));
test.after(() => { if (process.env.SHOW_GATEWAY_LOG) console.error(gateway.stderr); return gateway.stop(); });

async function connect(server, destination = `127.0.0.1:${server.port}`) {
  const client = await gateway.open();
  client.ws.send(request({ destination }));
  await waitFor(() => client.ws.messages.length > 0 || client.ws.events.length > 0, { what: 'the response' });
  return client;
}

// The client got the error response (these bytes, or one that `response`
// accepts once decoded), then a Close without payload (1005), and the gateway
// wrote exactly `line` for the connection.
async function assertRejected({ ws, id }, response, line) {
  await ws.closed;
  assert.equal(ws.messages.length, 1);
  if (typeof response === 'function') response(parseResponse(ws.messages[0].data));
  else assert.deepEqual(ws.messages[0].data, response);
  assert.equal(ws.messages[0].isBinary, true);
  assert.equal(ws.events.find((e) => 'close' in e).close, 1005);
  const lines = await gateway.linesOf(id);
  if (line instanceof RegExp) {
    assert.equal(lines.length, 1, lines.join('\n'));
    assert.match(lines[0], line);
  } else {
    assert.deepEqual(lines, [`[${id}] ${line}`]);
  }
}

test('success: the response carries the server reply and certificate; the entry reaches forwarding', async () => {
  let releaseReply;
  const replied = new Promise((resolve) => (releaseReply = resolve));
  const server = await startRdpServer({
    x224Reply: async (socket) => {
      await replied;
      socket.write(X224_CONFIRM);
    },
  });
  try {
    const { ws, id } = await gateway.open();
    const fresh = await gateway.entry(id);
    assert.equal(fresh.state, 'handshaking');
    assert.ok(!('rdpHost' in fresh));

    ws.send(request({ destination: `127.0.0.1:${server.port}` }));
    await waitFor(() => server.connections[0]?.request, { what: 'the X.224 request' });
    assert.deepEqual(server.connections[0].request, X224_REQUEST);
    const waiting = await gateway.entry(id);
    assert.equal(waiting.rdpHost, '127.0.0.1');
    assert.equal(waiting.rdpPort, server.port);
    assert.equal(waiting.tcpConnected, true);
    assert.equal(waiting.tlsReady, false);
    assert.equal(waiting.state, 'handshaking');

    releaseReply();
    await waitFor(() => ws.messages.length === 1, { what: 'the response' });
    const response = parseResponse(ws.messages[0].data);
    assert.equal(response.version, 3390);
    assert.deepEqual(response.x224, X224_CONFIRM);
    assert.deepEqual(response.certificates, [server.certificate]);
    assert.equal(response.address, `127.0.0.1:${server.port}`);
    const forwarding = await gateway.entry(id);
    assert.equal(forwarding.state, 'forwarding');
    assert.equal(forwarding.tlsReady, true);

    // The echoing server sends back what the client relays.
    ws.send(Buffer.from('ping through TLS'));
    await waitFor(() => ws.messages.length === 2);
    assert.equal(ws.messages[1].data.toString(), 'ping through TLS');
    ws.close();
    assert.deepEqual(await gateway.linesOf(id), []);
  } finally {
    await server.close();
  }
});

// Pings go out while both streams run: their Pongs share the client
// connection with the relayed messages and must arrive whole, between them.
test('relay: several MiB each way at once arrive intact, Pings answered meanwhile', async () => {
  const down = crypto.randomBytes(6 * 1024 * 1024);
  const up = crypto.randomBytes(5 * 1024 * 1024 + 7);
  let serverReceived = 0;
  const serverHash = crypto.createHash('sha256');
  let serverDone;
  const serverGotAll = new Promise((resolve) => (serverDone = resolve));
  const server = await startRdpServer({
    onSecure: (s) => {
      s.on('data', (chunk) => {
        serverHash.update(chunk);
        serverReceived += chunk.length;
        if (serverReceived === up.length) serverDone();
      });
      s.write(down);
    },
  });
  try {
    const client = await connect(server);
    const { ws } = client;
    const pongs = [];
    ws.on('pong', (data) => pongs.push(data.toString()));
    const pings = [];
    for (let offset = 0; offset < up.length; offset += 50000) {
      ws.send(up.subarray(offset, offset + 50000));
      if (pings.length < 40) {
        pings.push(`ping ${pings.length}`);
        ws.ping(pings[pings.length - 1]);
      }
    }
    await serverGotAll;
    await waitFor(() => ws.messages.slice(1).reduce((n, m) => n + m.data.length, 0) >= down.length,
      { what: 'the download', timeout: 20000 });
    const received = Buffer.concat(ws.messages.slice(1).map((m) => m.data));
    assert.equal(received.length, down.length);
    assert.ok(received.equals(down));
    assert.ok(ws.messages.slice(1).every((m) => m.isBinary && m.data.length <= 49152));
    assert.equal(serverHash.digest('hex'), crypto.createHash('sha256').update(up).digest('hex'));
    await waitFor(() => pongs.length === pings.length, { what: 'the Pongs' });
    assert.deepEqual(pongs, pings);
    ws.close();
    assert.deepEqual(await gateway.linesOf(client.id), []);
  } finally {
    await server.close();
  }
});

test('relay: a server that stops reading while it sends a burst: both directions complete', async () => {
  const up = crypto.randomBytes(4 << 20);
  const burst = crypto.randomBytes(8 << 20);
  let serverRead = 0;
  const server = await startRdpServer({
    onSecure: (s) => {
      s.on('data', (chunk) => (serverRead += chunk.length));
      s.pause();  // busy: reads nothing until its burst has gone
      setTimeout(() => (s.write(burst) ? s.resume() : s.once('drain', () => s.resume())), 300);
    },
  });
  try {
    const { ws, id } = await connect(server);
    for (let offset = 0; offset < up.length; offset += 65536) ws.send(up.subarray(offset, offset + 65536));
    const got = () => ws.messages.slice(1).reduce((n, m) => n + m.data.length, 0);
    await waitFor(() => got() === burst.length && serverRead === up.length,
      { what: 'both directions', timeout: 20000 });
    assert.ok(Buffer.concat(ws.messages.slice(1).map((m) => m.data)).equals(burst));
    ws.close();
    assert.deepEqual(await gateway.linesOf(id), []);
  } finally {
    await server.close();
  }
});

test('relay: framing, Text and empty messages, client Close', async () => {
  // Small records that arrive together (as a server's last connection PDUs
  // and its first update may), then records of these sizes, released in one
  // write, so that they arrive together, as a streaming server's do.
  const small = crypto.randomBytes(1500);
  const F = 16384;
  const sizes = [F, F, F, F, 100, F, F, 1, 7, F, F, F, F, F, 16383, F, 5000, F, F, F, 1, F, F];
  const records = sizes.map((n) => crypto.randomBytes(n));
  const received = [];
  let serverEnded;
  const ended = new Promise((resolve) => (serverEnded = resolve));
  const write = (s, data) => new Promise((resolve) => s.write(data, resolve));
  const server = await startRdpServer({
    holdOutput: true,
    onSecure: async (s, record) => {
      s.on('data', (chunk) => received.push(chunk));
      s.on('end', serverEnded);
      s.on('close', serverEnded);
      for (const at of [0, 512, 1024]) await write(s, small.subarray(at, at + 512));
      record.hold();
      for (const data of records) await write(s, data);  // a record each
      await record.release();
    },
  });
  try {
    const { ws, id } = await connect(server);
    const total = small.length + sizes.reduce((a, b) => a + b);
    await waitFor(() => ws.messages.slice(1).reduce((n, m) => n + m.data.length, 0) === total);
    // A record that is not full is a message of its own: IronRDP's web
    // client drops what follows its connection sequence in the same message.
    assert.deepEqual(ws.messages.slice(1, 4).map((m) => m.data.length), [512, 512, 476]);
    assert.ok(Buffer.concat(ws.messages.slice(1, 4).map((m) => m.data)).equals(small));
    // Then: full records joined, three at most to a Binary message, and one
    // that is not full ends its message.
    const burst = ws.messages.slice(4);
    assert.ok(burst.every((m) => m.isBinary));
    assert.ok(Buffer.concat(burst.map((m) => m.data)).equals(Buffer.concat(records)));
    let next = 0;
    const shapes = burst.map((m) => {
      const shape = [];
      for (let left = m.data.length; left > 0; left -= shape.at(-1)) shape.push(sizes[next++]);
      return shape;
    });
    for (const [i, shape] of shapes.entries()) {
      assert.equal(shape.reduce((a, b) => a + b), burst[i].data.length, `a record split between messages: ${shape}`);
      assert.ok(shape.length <= 3 && shape.slice(0, -1).every((n) => n === F), `a message of records ${shape}`);
    }
    assert.ok(shapes.some((shape) => shape.length === 3), JSON.stringify(shapes));

    ws.send(Buffer.alloc(0));
    ws.send('abc');
    ws.ping('not forwarded');
    ws.send(Buffer.from([0x64]));
    await waitFor(() => Buffer.concat(received).length === 4);
    assert.deepEqual(Buffer.concat(received), Buffer.from('abcd'));
    // A message with a Ping right behind it, in one segment, then nothing:
    // the message is not held back for the next one.
    ws._socket.cork();
    ws.send(Buffer.from('key down'));
    ws.ping('keepalive');
    process.nextTick(() => ws._socket.uncork());
    await waitFor(() => Buffer.concat(received).length === 12, { what: 'the message before the Ping' });

    ws.close();
    await ended;
    await ws.closed;
    assert.deepEqual(await gateway.linesOf(id), []);
  } finally {
    await server.close();
  }
});

test('relay: a child process of the host holds none of the sockets; a client leaving reaches the server at once',
  { skip: process.env.QUILLGATE_WINE_NODE && 'under Wine: the child\'s descriptors in /proc are not its Windows handles' },
  async () => {
  let serverSawEnd;
  const ended = new Promise((resolve) => (serverSawEnd = resolve));
  const server = await startRdpServer({ onSecure: (s) => (s.resume(), s.on('close', serverSawEnd)) });
  try {
    const { ws, id } = await connect(server);
    const pid = await gateway.spawn('sleep', ['10']);
    // Once `sleep` sleeps: until its exec has ended, the spawn's own pipe and
    // the descriptors the exec closes may still be listed.
    const sleeping = () => fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').startsWith('sleep\0') &&
      fs.readFileSync(`/proc/${pid}/stat`, 'latin1').split(') ')[1].startsWith('S');
    await waitFor(sleeping, { what: 'the child to start' });
    const fds = fs.readdirSync(`/proc/${pid}/fd`).map((fd) => fs.readlinkSync(`/proc/${pid}/fd/${fd}`));
    assert.deepEqual(fds.filter((link) => link.startsWith('socket:')), []);
    ws.terminate();
    await ended;
    // The close reached the server while the child still ran.
    assert.ok(fs.existsSync(`/proc/${pid}`));
    process.kill(pid);
    await gateway.linesOf(id);
  } finally {
    await server.close();
  }
});

test('relay: a client that closes while the server streams has its Close answered', async () => {
  const chunk = crypto.randomBytes(16384);
  const streamer = (fragment) => startRdpServer({
    onSecure: (s) => {
      s.setMaxSendFragment(fragment);
      const pump = () => { while (!s.destroyed && s.write(chunk)); };
      s.on('drain', pump);
      s.resume();
      pump();
    },
  });
  // Full records, and small ones, whose messages the client stream holds.
  const servers = [await streamer(16384), await streamer(512)];
  try {
    for (let round = 0; round < 10; round++) {
      const server = servers[round % 2];
      const { ws, id } = await connect(server);
      await waitFor(() => ws.messages.length > 4, { what: 'a few messages' });
      ws.close();
      assert.equal(await ws.closed, 1000, `round ${round}`);
      // What arrived is the start of the stream, in order.
      const got = Buffer.concat(ws.messages.slice(1).map((m) => m.data));
      for (let at = 0; at < got.length; at += chunk.length) {
        assert.ok(got.subarray(at, at + chunk.length).equals(chunk.subarray(0, got.length - at)), `round ${round}`);
      }
      assert.deepEqual(await gateway.linesOf(id), []);
    }
  } finally {
    await Promise.all(servers.map((s) => s.close()));
  }
});

// A session's last bytes (a logoff's final PDUs, the end of a file copied
// over a redirected drive) reach the other side whichever side ends it, while
// the other is still sending.
test('endings: a server that ends TLS while the client sends: every byte reaches the client, then Close 1000', async () => {
  const tail = crypto.randomBytes(4 << 20);
  const server = await startRdpServer({ onSecure: (s) => (s.resume(), s.end(tail)) });
  try {
    for (let round = 0; round < 8; round++) {
      const { ws, id } = await connect(server);
      // Input as a mouse moving at logoff sends it, until the gateway's Close.
      const input = setInterval(() => {
        for (let i = 0; i < 8 && ws.readyState === ws.OPEN; i++) ws.send(crypto.randomBytes(48));
      }, 1);
      const code = await ws.closed;
      clearInterval(input);
      const received = Buffer.concat(ws.messages.slice(1).map((m) => m.data));
      assert.equal(received.length, tail.length, `round ${round}`);
      assert.ok(received.equals(tail), `round ${round}`);
      assert.equal(code, 1000, `round ${round}`);
      assert.deepEqual(await gateway.linesOf(id), []);
    }
  } finally {
    await server.close();
  }
});

test('endings: a client that ends (Close, or FIN) while the server streams: every byte reaches the server', async () => {
  const upload = crypto.randomBytes(4 << 20);
  const chunk = crypto.randomBytes(16384);
  // Streams, and stops reading for half a second just before the end of
  // the upload: its last 512 KiB are still on
  // their way when the client's end reaches the gateway.
  const server = await startRdpServer({
    onSecure: (s, record) => {
      const hash = crypto.createHash('sha256');
      let size = 0;
      record.received = new Promise((resolve) => {
        let digest;
        const done = () => resolve({ size, digest: (digest ??= hash.digest('hex')) });
        s.once('end', done);
        s.once('close', done);
      });
      let paused = false;
      s.on('data', (data) => {
        hash.update(data);
        size += data.length;
        if (!paused && size >= upload.length - (512 << 10)) {
          paused = true;
          s.pause();
          setTimeout(() => s.resume(), 500);
        }
      });
      // A steady stream rather than as fast as it can: one that takes the
      // test's own process whole delays the resume above by seconds, past the
      // gateway's closing limit.
      const pump = setInterval(() => s.writable && s.writableLength < (1 << 20) && s.write(chunk), 1);
      pump.unref();
      for (const event of ['end', 'close', 'error']) s.once(event, () => clearInterval(pump));
    },
  });
  const digest = crypto.createHash('sha256').update(upload).digest('hex');
  try {
    for (const ending of ['Close', 'FIN', 'Close', 'FIN']) {
      const { ws, id } = await connect(server);
      const record = server.connections[server.connections.length - 1];
      // The client reads nothing for a while either, so that the server's
      // stream waits unread at the gateway when the end arrives.
      ws._socket.pause();
      for (let at = 0; at < upload.length; at += 1 << 20) ws.send(upload.subarray(at, at + (1 << 20)));
      if (ending === 'Close') ws.close(1000);
      else ws._socket.end();
      setTimeout(() => ws._socket.resume(), 200);
      const { size, digest: got } = await record.received;
      assert.equal(size, upload.length, ending);
      assert.equal(got, digest, ending);
      const code = await ws.closed;
      if (ending === 'Close') assert.equal(code, 1000);
      assert.deepEqual(await gateway.linesOf(id), []);
    }
  } finally {
    await server.close();
  }
});

test('relay: a server reset is one "读取 TLS 失败" line and Close 1011, also while the client sends', async () => {
  const server = await startRdpServer({ onSecure: (s, record) => setTimeout(() => record.socket.resetAndDestroy(), 50) });
  try {
    const { ws, id } = await connect(server);
    assert.equal(await ws.closed, 1011);
    const lines = await gateway.linesOf(id);
    assert.equal(lines.length, 1, lines.join('\n'));
    assert.match(lines[0], new RegExp(`^\\[${id}\\] 连接处理失败: 读取 TLS 失败: .+`));

    // A write to the server may meet the reset first: its failure is the line.
    const sending = await connect(server);
    const input = setInterval(() => sending.ws.readyState === sending.ws.OPEN && sending.ws.send(Buffer.alloc(4096)), 1);
    const code = await sending.ws.closed;
    clearInterval(input);
    assert.equal(code, 1011);
    const sent = await gateway.linesOf(sending.id);
    assert.equal(sent.length, 1, sent.join('\n'));
    assert.match(sent[0], new RegExp(`^\\[${sending.id}\\] 连接处理失败: (读取|写入) TLS 失败: .+`));
  } finally {
    await server.close();
  }
  // A write takes the reset first for certain when the gateway's reads of the
  // server wait on a client that does not read: the end of the stream the
  // reads come to later is that reset's.
  const streamer = await startRdpServer({ onSecure: (s) => (s.pause(), s.write(crypto.randomBytes(16 << 20))) });
  try {
    const { ws, id } = await connect(streamer);
    ws._socket.pause();
    await sleep(300);
    ws.send(Buffer.alloc(1000));  // left unread: the server's close resets
    await sleep(50);
    streamer.connections[0].socket.resetAndDestroy();
    for (let i = 0; i < 5; i++) ws.send(Buffer.alloc(1000)), await sleep(20);
    ws._socket.resume();
    assert.equal(await Promise.race([ws.closed, sleep(10000)]), 1011);
    const lines = await gateway.linesOf(id);
    assert.equal(lines.length, 1, lines.join('\n'));
    assert.match(lines[0], new RegExp(`^\\[${id}\\] 连接处理失败: 写入 TLS 失败: .+`));
  } finally {
    await streamer.close();
  }
});

test('first message: Close ends quietly, Ping is an error, Text is decoded like Binary', async () => {
  const closer = await gateway.open();
  closer.ws.close();
  await closer.ws.closed;
  assert.deepEqual(await gateway.linesOf(closer.id), []);
  assert.equal(closer.ws.messages.length, 0);

  const pinger = await gateway.open();
  pinger.ws.ping();
  await pinger.ws.closed;
  assert.equal(pinger.ws.messages.length, 0);
  assert.deepEqual(await gateway.linesOf(pinger.id), [`[${pinger.id}] 连接处理失败: 非预期的 WebSocket 首帧`]);

  const texter = await gateway.open();
  texter.ws.send('not a request');
  await assertRejected(texter, ERROR_400, 'RDCleanPath 解析失败: 无效的 ASN.1 SEQUENCE');
});

test('rejects unusable requests with 400', async () => {
  const empty = await gateway.open();
  empty.ws.send(Buffer.alloc(0));
  await assertRejected(empty, ERROR_400, 'RDCleanPath 解析失败: 无效的 ASN.1 SEQUENCE');

  const noDestination = await gateway.open();
  noDestination.ws.send(request({}));
  await assertRejected(noDestination, ERROR_400, 'RDCleanPath 解析失败: 缺少目标地址');

  const noX224 = await gateway.open();
  noX224.ws.send(request({ destination: '192.0.2.10:3389', x224: null }));
  await assertRejected(noX224, ERROR_400, '缺少 x224_connection_pdu');

  // cchPCB counts 65,535 UTF-16 units at most, the NUL among them: refused
  // before the server is contacted.
  const server = await startRdpServer({ preconnection: true });
  try {
    const longBlob = await gateway.open();
    longBlob.ws.send(request({ destination: `127.0.0.1:${server.port}`, preconnectionBlob: 'a'.repeat(65535) }));
    await assertRejected(longBlob, ERROR_400, 'preconnection_blob 过长: 65535 个 UTF-16 码元 (上限 65534)');
    assert.equal(server.connections.length, 0);
  } finally {
    await server.close();
  }
});

test('what reaches the server: the pre-connection PDU ahead of the X.224 request, a computer name alone', async (t) => {
  await t.test('the pre-connection blob, as a PDU ahead of the X.224 request on the same connection', async () => {
    const server = await startRdpServer({ preconnection: true });
    try {
      const blob = 'vm-\u00e4\u20ac\u{1f600}';
      const { ws, id } = await gateway.open();
      ws.send(request({ destination: `127.0.0.1:${server.port}`, preconnectionBlob: blob }));
      await waitFor(() => ws.messages.length > 0 || ws.events.length > 0, { what: 'the response' });
      assert.deepEqual(server.connections[0].preconnection, preconnectionPdu(blob));
      assert.equal(server.connections[0].preconnection.readUInt16LE(16), 8);  // the surrogate pair counts two
      assert.deepEqual(server.connections[0].request, X224_REQUEST);
      assert.deepEqual(parseResponse(ws.messages[0].data).x224, X224_CONFIRM);
      ws.close();
      assert.deepEqual(await gateway.linesOf(id), []);
    } finally {
      await server.close();
    }
  });

  // As users type it, without a port: the default port, 3389, on this machine.
  await t.test('a computer name without a full stop or a port', async (st) => {
    let server;
    try {
      server = await startRdpServer({ port: 3389 });
    } catch (error) {
      if (error.code !== 'EADDRINUSE') throw error;
      st.skip('127.0.0.1:3389 is in use');
      return;
    }
    try {
      const { ws, id } = await gateway.open();
      ws.send(request({ destination: 'localhost' }));
      await waitFor(() => ws.messages.length > 0 || ws.events.length > 0, { what: 'the response' });
      const response = parseResponse(ws.messages[0].data);
      assert.equal(response.address, 'localhost:3389');
      assert.deepEqual(server.connections[0].request, X224_REQUEST);
      assert.equal(server.connections[0].servername, 'localhost');
      ws.close();
      assert.deepEqual(await gateway.linesOf(id), []);
    } finally {
      await server.close();
    }
  });
});

test('a server that refuses the negotiation: its reply in a negotiation error, no TLS attempted', async () => {
  const after = [];
  let serverClosed;
  const closed = new Promise((resolve) => (serverClosed = resolve));
  const server = await startRdpServer({
    x224Reply: (socket) => {
      socket.write(X224_NEG_FAILURE);
      socket.on('data', (chunk) => after.push(chunk));
      socket.on('close', serverClosed);
      socket.resume();
      return false;
    },
  });
  try {
    const c = await connect(server);
    // Version 3390, error { error_code 2 }, [6] the reply as the server sent it.
    const expected = Buffer.concat([Buffer.from('3026a00402020d3ea1073005a003020102a6150413', 'hex'), X224_NEG_FAILURE]);
    await assertRejected(c, expected, `RDP 协商失败: HYBRID_REQUIRED_BY_SERVER (failureCode 5)`);
    await closed;
    assert.deepEqual(after, []);
  } finally {
    await server.close();
  }
});

test('rejects server-side failures with 500', async (t) => {
  const refused = await startRdpServer();
  const refusedPort = refused.port;
  await refused.close();
  await t.test('connection refused, with its Windows Sockets code', async () => {
    const c = await connect({ port: refusedPort });
    await assertRejected(c, ERROR_500_REFUSED, /^\[rdp-\d+\] 连接 RDP 服务器失败: .+/);
  });
  await t.test('an address followed by a NUL byte is a host name, refused before any connection', async () => {
    const server = await startRdpServer();
    try {
      const c = await connect(server, `127.0.0.1\0anything:${server.port}`);
      await assertRejected(c, ERROR_500, /^\[rdp-\d+\] 连接 RDP 服务器失败: host name contains a NUL byte$/);
      assert.equal(server.connections.length, 0);
    } finally {
      await server.close();
    }
  });
  await t.test('unresolvable host name', async () => {
    const c = await connect(null, 'no-such-host.invalid:3389');
    // Host not found, or, without a name server to ask, a temporary failure.
    const notFound = (r) => {
      assert.deepEqual({ ...r.error, wsaError: undefined }, { code: 1, httpStatus: 500, wsaError: undefined });
      assert.ok([11001, 11002].includes(r.error.wsaError), JSON.stringify(r.error));
    };
    await assertRejected(c, notFound, /^\[rdp-\d+\] 连接 RDP 服务器失败: .+/);
  });

  const badReplies = [
    ['version 3, reserved 1', Buffer.from('03010013' + '00'.repeat(15), 'hex'), '读取 x224 响应失败: 无效的 TPKT header'],
    ['length 3', Buffer.from('03000003', 'hex'), '读取 x224 响应失败: TPKT 长度不合法'],
    ['body cut short', Buffer.from('03000013' + '00'.repeat(10), 'hex'), /^\[rdp-\d+\] 读取 x224 响应失败: 读取 TPKT body 失败: End of file$/],
    ['header cut short', Buffer.from('0300', 'hex'), /^\[rdp-\d+\] 读取 x224 响应失败: 读取 TPKT header 失败: End of file$/],
    // A whole TPKT packet whose negotiation structure is cut short refuses nothing: TLS is tried.
    ['negotiation failure cut short', Buffer.from('0300000c07d0000000000003', 'hex'), /^\[rdp-\d+\] TLS 握手失败: .+/],
  ];
  for (const [name, reply, line] of badReplies) {
    await t.test(name, async () => {
      const server = await startRdpServer({ x224Reply: (socket) => (socket.end(reply), false) });
      try {
        await assertRejected(await connect(server), ERROR_500, line);
      } finally {
        await server.close();
      }
    });
  }

  await t.test('a server that speaks no TLS', async () => {
    const server = await startRdpServer({
      x224Reply: (socket) => (socket.write(X224_CONFIRM), socket.end('HTTP/1.1 400 Bad Request\r\n\r\n'), false),
    });
    try {
      await assertRejected(await connect(server), ERROR_500, /^\[rdp-\d+\] TLS 握手失败: .+/);
    } finally {
      await server.close();
    }
  });

  await t.test('a server limited to TLS 1.1: its protocol_version alert', async () => {
    const server = await startRdpServer({
      tlsOptions: { minVersion: 'TLSv1', maxVersion: 'TLSv1.1', ciphers: 'DEFAULT:@SECLEVEL=0' },
    });
    try {
      const alert70 = (r) => assert.deepEqual(r.error, { code: 1, httpStatus: 500, tlsAlert: 70 });
      await assertRejected(await connect(server), alert70, /^\[rdp-\d+\] TLS 握手失败: .+/);
    } finally {
      await server.close();
    }
  });

  await t.test('a server that answers the ClientHello with an alert', async () => {
    const server = await startRdpServer({
      x224Reply: (socket) => {
        socket.write(X224_CONFIRM);
        // A fatal handshake_failure (40) alert record, then the end.
        socket.once('data', () => socket.end(Buffer.from('15030300020228', 'hex')));
        socket.resume();
        return false;
      },
    });
    try {
      await assertRejected(await connect(server), ERROR_500_ALERT_40, /^\[rdp-\d+\] TLS 握手失败: .+/);
    } finally {
      await server.close();
    }
  });
});

test('SNI: sent for a host name, not for IPv4 or IPv6 literals', async () => {
  const v4 = await startRdpServer();
  const v6 = await startRdpServer({ host: '::1' });
  try {
    for (const [server, destination, expected] of [
      [v4, `localhost:${v4.port}`, 'localhost'],
      [v4, `127.0.0.1:${v4.port}`, undefined],
      [v6, `[::1]:${v6.port}`, undefined],
    ]) {
      const before = server.connections.length;
      const { ws, id } = await connect(server, destination);
      const response = parseResponse(ws.messages[0].data);
      assert.deepEqual(response.certificates, [server.certificate], destination);
      assert.equal(server.connections[before].servername, expected, destination);
      ws.close();
      assert.deepEqual(await gateway.linesOf(id), []);
    }
    const { ws } = await connect(v6, `[::1]:${v6.port}`);
    assert.equal(parseResponse(ws.messages[0].data).address, `::1:${v6.port}`);
    ws.close();
  } finally {
    await v4.close();
    await v6.close();
  }
});

// TLS 1.2 only with an RSA certificate, as Windows RDP servers have, and TLS
// 1.3 with an EC one: what the Windows binary's OpenSSL is configured for.
test('TLS 1.2 and 1.3 servers: the handshake completes and the certificate is handed on whole', async () => {
  const rsa = certificates().rsa();
  for (const [protocol, tlsOptions, certificate] of [
    ['TLSv1.2', { key: rsa.key, cert: rsa.cert, maxVersion: 'TLSv1.2' }, new crypto.X509Certificate(rsa.cert).raw],
    ['TLSv1.3', { minVersion: 'TLSv1.3' }, certificates().ec.der],
  ]) {
    const server = await startRdpServer({ tlsOptions });
    try {
      const { ws, id } = await connect(server);
      assert.deepEqual(parseResponse(ws.messages[0].data).certificates, [certificate], protocol);
      assert.equal(server.connections[0].tlsSocket.getProtocol(), protocol);
      ws.send(Buffer.from(protocol));
      await waitFor(() => ws.messages.length === 2, { what: 'the echo' });
      assert.equal(ws.messages[1].data.toString(), protocol);
      if (protocol === 'TLSv1.2') {
        // The server renegotiates while the client sends: no input is lost.
        const tlsSocket = server.connections[0].tlsSocket;
        let renegotiated = 0;
        const again = () => tlsSocket.renegotiate({}, (e) => !e && ++renegotiated < 3 && setTimeout(again, 20));
        again();
        const input = crypto.randomBytes(200 * 200);
        for (let offset = 0; offset < input.length; offset += 200) {
          ws.send(input.subarray(offset, offset + 200));
          await new Promise((resolve) => setTimeout(resolve, 1));
        }
        const echoed = () => Buffer.concat(ws.messages.slice(2).map((m) => m.data));
        await waitFor(() => echoed().length === input.length, { what: 'the input, echoed' });
        assert.ok(echoed().equals(input));
        assert.ok(renegotiated > 0);
      }
      ws.close();
      assert.deepEqual(await gateway.linesOf(id), []);
    } finally {
      await server.close();
    }
  }
});

// Orders of a renegotiation that each failed the connection or stalled it.
// The server asks for one, then sends data before it reads the ClientHello
// (TLS allows both); OpenSSL puts the start off while records are still to
// be read; the client's input comes meanwhile.
test('renegotiation: the server\'s data after its request reaches the client, and input sent meanwhile reaches the server', async () => {
  const rsa = certificates().rsa();
  let received = Buffer.alloc(0);
  const server = await startRdpServer({
    tlsOptions: { key: rsa.key, cert: rsa.cert, maxVersion: 'TLSv1.2' },
    onSecure: (s) => s.on('data', (d) => (received = Buffer.concat([received, d]))),
  });
  try {
    const { ws, id } = await connect(server);
    const tlsSocket = server.connections[0].tlsSocket;
    const renegotiate = () => new Promise((resolve) => tlsSocket.renegotiate({}, (e) => resolve(e ?? true)));
    const got = () => ws.messages.slice(1).reduce((n, m) => n + m.data.length, 0);
    const all = () => Buffer.concat(ws.messages.slice(1).map((m) => m.data));
    let sent = Buffer.alloc(0);
    const send = (bytes) => (ws.send(bytes), (sent = Buffer.concat([sent, bytes])));

    // The request and data behind it arrive together, then the server waits
    // for the ClientHello: nothing else comes to start the renegotiation.
    for (let round = 0; round < 3; round++) {
      const done = renegotiate();
      tlsSocket.write(Buffer.from(`data after request ${round}`));
      assert.equal(await Promise.race([done, sleep(3000).then(() => 'no renegotiation')]), true, `round ${round}`);
    }
    const streamed = [Buffer.from('data after request 0data after request 1data after request 2')];

    // The client does not read, so the gateway's reads of the server stall
    // with the server's data waiting in its socket when the input comes.
    ws._socket.pause();
    tlsSocket.pause();
    let done = renegotiate();
    streamed.push(crypto.randomBytes(16 << 20));  // more than the sockets between hold
    tlsSocket.write(streamed[1]);
    await sleep(300);
    send(Buffer.from('input while the server waits for its ClientHello to be read'));
    await sleep(100);
    ws._socket.resume();
    tlsSocket.resume();
    done = await Promise.race([done, sleep(10000)]);
    assert.equal(done, true);

    // The server streams and renegotiates again and again while the client sends.
    const chunk = crypto.randomBytes(16384);
    let streaming = true;
    const pump = () => {
      if (!streaming) return;
      for (let i = 0; i < 6 && tlsSocket.writableLength < 65536; i++) tlsSocket.write(chunk), streamed.push(chunk);
      setTimeout(pump, 1);
    };
    pump();
    const input = setInterval(() => send(crypto.randomBytes(200)), 1);
    for (let round = 0; round < 20 && done === true; round++) done = await Promise.race([renegotiate(), sleep(3000)]);
    streaming = false;
    clearInterval(input);
    assert.equal(done, true);
    const expected = Buffer.concat(streamed);
    await waitFor(() => got() === expected.length && received.length === sent.length,
      { what: 'both streams', timeout: 20000 });
    assert.ok(all().equals(expected));
    assert.ok(received.equals(sent));
    ws.close();
    assert.deepEqual(await gateway.linesOf(id), []);
  } finally {
    await server.close();
  }
});

const CLOSE_1001 = Buffer.from([0x88, 0x82, 0, 0, 0, 0, 0x03, 0xe9]);  // as a page going away sends it

// A raw upgrade request with `origin` (if any) and, in the same write, a first
// message naming `server`: a refused handshake must not get as far as reading it.
// `padding` lengthens both: a header and an element the request decoder skips.
async function pipelinedHandshake(gw, origin, server, padding = 0) {
  const socket = await connectRaw(gw.port);
  const id = gw.nextId();
  let payload = request({ destination: `127.0.0.1:${server.port}` });
  if (padding) payload = tlv(0x30, Buffer.concat([readTlv(payload, 0).value, tlv(0xa5, Buffer.alloc(padding, 0x41))]));
  const head = 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
    `Sec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n` +
    (origin === undefined ? '' : `Origin: ${origin}\r\n`) + (padding ? `X-Padding: ${'p'.repeat(padding)}\r\n` : '') + '\r\n';
  const length = payload.length < 126 ? [payload.length | 0x80] : [126 | 0x80, payload.length >> 8, payload.length & 0xff];
  socket.write(Buffer.concat([Buffer.from(head, 'latin1'), Buffer.from([0x82, ...length, 0, 0, 0, 0]), payload]));
  let received = '';
  socket.on('data', (d) => (received += d.toString('latin1')));
  await waitFor(() => received.includes('\r\n\r\n'), { what: 'the handshake answer' });
  // Resolves once the first WebSocket frame after the 101 has arrived whole.
  const firstFrame = () => waitFor(() => {
    const at = received.indexOf('\r\n\r\n') + 4;
    if (received.length < at + 2) return false;
    const short = received.charCodeAt(at + 1) & 0x7f;
    const length = short === 126 && received.length >= at + 4 ? (received.charCodeAt(at + 2) << 8) | received.charCodeAt(at + 3) : short;
    return short !== 127 && received.length >= at + (short === 126 ? 4 : 2) + length;
  }, { what: 'the RDCleanPath response' });
  return { socket, id, status: received.split('\r\n')[0], received: () => received, firstFrame };
}

test('origin: other sites\' pages are refused with 403 before any server is contacted; others are let in', async () => {
  const server = await startRdpServer();
  try {
    for (const [origin, shown] of [['null', 'null'], ['https://evil.example', 'https://evil.example'],
      ['http://192.168.1.10:8080', 'http://192.168.1.10:8080'], ['https://a\x9b[31m.example', 'https://a\\x9b[31m.example']]) {
      const { socket, id, status } = await pipelinedHandshake(gateway, origin, server);
      assert.match(status, /^HTTP\/1\.1 403 /, origin);
      await closedByPeer(socket);
      assert.deepEqual(await gateway.linesOf(id), [`[${id}] 连接处理失败: WebSocket 握手失败: origin not allowed: ${shown}`]);
    }
    assert.equal(server.connections.length, 0);

    // Native clients send no Origin; Electron pages have their own schemes;
    // loopback pages may use any port. The pipelined request is served.
    const accepted = [undefined, 'file://', 'app://renderer', 'http://localhost:5173', 'http://[::1]:8080'];
    for (const origin of accepted) {
      const { socket, id, status, firstFrame } = await pipelinedHandshake(gateway, origin, server);
      assert.match(status, /^HTTP\/1\.1 101 /, String(origin));
      await firstFrame();
      socket.destroy();
      await gateway.linesOf(id);
    }
    assert.equal(server.connections.length, accepted.length);

    // A long upgrade request and a long first message in one write: the
    // bytes read ahead with the request all reach the WebSocket stream.
    const long = await pipelinedHandshake(gateway, 'app://renderer', server, 3000);
    await waitFor(() => server.connections.length === accepted.length + 1, { what: 'the long request to be served' });
    long.socket.destroy();
    await gateway.linesOf(long.id);

    // Set by the host at run time, over what its environment had at start
    // (on Windows, process.env changes only the process's environment block).
    // The log switch is a non-ASCII value: read as UTF-8.
    const own = await Gateway.start({
      env: { QUILLGATE_LOG: '0', QUILLGATE_ALLOWED_ORIGINS: 'https://other.example' },
      setEnv: { QUILLGATE_LOG: '\u3000on', QUILLGATE_ALLOWED_ORIGINS: 'https://rdp.example.com, http://intranet:8080' },
    });
    try {
      const listed = await pipelinedHandshake(own, 'https://rdp.example.com', server);
      assert.match(listed.status, /^HTTP\/1\.1 101 /);
      listed.socket.destroy();
      const other = await pipelinedHandshake(own, 'https://other.example', server);
      assert.match(other.status, /^HTTP\/1\.1 403 /);
      assert.deepEqual(await own.linesOf(other.id), [`[${other.id}] 连接处理失败: WebSocket 握手失败: origin not allowed: https://other.example`]);
    } finally {
      await own.stop();
    }
  } finally {
    await server.close();
  }
});

test('relay: a client that sends Close and resets, before or after the answer, ends its session', async () => {
  const chunk = Buffer.alloc(16384, 7);
  const idle = await startRdpServer();
  const streaming = await startRdpServer({ onSecure: (s) => { const pump = () => { while (!s.destroyed && s.write(chunk)); }; s.on('drain', pump); s.resume(); pump(); } });
  try {
    // Reset once the answering Close is seen, as a browser leaving a page: no line.
    const left = await pipelinedHandshake(gateway, undefined, idle);
    await left.firstFrame();
    const answered = left.received().length;
    left.socket.on('data', () => left.received().indexOf('\x88', answered) >= 0 && left.socket.resetAndDestroy());
    left.socket.write(CLOSE_1001);
    await closedByPeer(left.socket);
    assert.deepEqual(await gateway.linesOf(left.id), []);

    // Reset right after the Close while the server streams: the session ends
    // (the answering Close waited behind held messages whose write failed).
    // It may log a failed write (either side may see the reset first); on
    // Windows also a failed read, since a reset drops the unread Close there.
    for (let round = 0; round < 10; round++) {
      const { socket, id, firstFrame } = await pipelinedHandshake(gateway, undefined, streaming);
      await firstFrame();
      socket.write(CLOSE_1001, () => socket.resetAndDestroy());
      await closedByPeer(socket);
      const logged = process.env.QUILLGATE_WINE_NODE ? /(写入|读取) WebSocket 失败: / : /写入 WebSocket 失败: /;
      for (const line of await gateway.linesOf(id)) assert.match(line, logged);
    }
  } finally {
    await idle.close();
    await streaming.close();
  }
});

const CLOSE_1000 = '\x88\x02\x03\xe8';  // the gateway's Close once the server has ended

test('endings: the closing handshake is bounded, and ends the connection once both Close frames are out', async () => {
  const ending = await startRdpServer({ onSecure: (s) => s.end() });
  const idle = await startRdpServer();
  const chunk = Buffer.alloc(16384, 9);
  const streaming = await startRdpServer({
    onSecure: (s) => { const pump = () => { while (!s.destroyed && s.write(chunk)); }; s.on('drain', pump); s.resume(); pump(); },
  });
  try {
    // A client that never answers the gateway's Close is closed after a few seconds.
    const mute = await pipelinedHandshake(gateway, undefined, ending);
    await waitFor(() => mute.received().endsWith(CLOSE_1000), { what: 'the Close' });
    await closedByPeer(mute.socket);
    assert.deepEqual(await gateway.linesOf(mute.id), []);

    // A client that has exchanged Close frames but keeps its TCP connection
    // open is closed at once, and leaves the registry.
    const lingering = await pipelinedHandshake(gateway, undefined, idle);
    await lingering.firstFrame();
    lingering.socket.write(CLOSE_1001);
    await closedByPeer(lingering.socket);
    assert.ok(lingering.received().endsWith('\x88\x02\x03\xe9'));
    assert.deepEqual(await gateway.linesOf(lingering.id), []);

    // A client that sends its Close and stops reading while the server
    // streams, so that the answer cannot leave: ended after the limit too.
    const stuck = await pipelinedHandshake(gateway, undefined, streaming);
    await stuck.firstFrame();
    stuck.socket.pause();
    stuck.socket.write(CLOSE_1001);
    assert.deepEqual(await gateway.linesOf(stuck.id), []);
    stuck.socket.destroy();

    // A stop while a Close waits for its answer is as prompt as ever.
    const own = await Gateway.start();
    const waiting = await pipelinedHandshake(own, undefined, ending);
    await waitFor(() => waiting.received().endsWith(CLOSE_1000), { what: 'the Close' });
    await own.stop();
    await closedByPeer(waiting.socket);
  } finally {
    await ending.close();
    await idle.close();
    await streaming.close();
  }
});
