'use strict';

// A scriptable stand-in for an RDP server: reads the X.224 Connection
// Request (one TPKT packet), answers, then speaks TLS on the same socket.
const net = require('node:net');
const tls = require('node:tls');
const { Duplex } = require('node:stream');
const { X224_CONFIRM } = require('./der');
const { certificates } = require('./certs');

// Reads one packet whose whole length `lengthOf` tells from its first four
// bytes; leaves what follows it unread.
function readPacket(socket, lengthOf) {
  return new Promise((resolve, reject) => {
    let data = Buffer.alloc(0);
    const onData = (chunk) => {
      data = Buffer.concat([data, chunk]);
      if (data.length >= 4 && data.length >= lengthOf(data)) {
        socket.off('data', onData);
        socket.pause();
        const length = lengthOf(data);
        if (data.length > length) socket.unshift(data.subarray(length));
        resolve(data.subarray(0, length));
      }
    };
    socket.on('data', onData);
    socket.once('error', reject);
    socket.resume();  // paused by an earlier read
  });
}

const readTpkt = (socket) => readPacket(socket, (data) => data.readUInt16BE(2));
// A pre-connection PDU: its cbSize, little-endian, counts the whole PDU.
const readPreconnection = (socket) => readPacket(socket, (data) => data.readUInt32LE(0));

// A stream over `socket` whose output record.hold() keeps back until
// record.release() writes it (a promise of the write).
function heldOutput(socket, record) {
  let held = null;
  const stream = new Duplex({
    read() {},
    write(chunk, encoding, done) {
      if (held) held.push(chunk);
      else socket.write(chunk);
      done();
    },
    final(done) {
      socket.end();
      done();
    },
  });
  socket.on('data', (data) => stream.push(data));
  socket.on('end', () => stream.push(null));
  socket.on('close', () => stream.destroy());
  stream.on('close', () => socket.destroy());
  record.hold = () => (held = []);
  record.release = () => {
    const all = Buffer.concat(held ?? []);
    held = null;
    return new Promise((resolve) => socket.write(all, resolve));
  };
  return stream;
}

// options:
//   preconnection: true to read a pre-connection PDU ahead of the X.224
//     request (kept as record.preconnection)
//   x224Reply: Buffer, or async (socket, request) => void to answer by hand
//     (the TLS step is skipped when it returns false)
//   tlsOptions: extra options for the server TLS socket
//   onSecure: (tlsSocket, record) => void, called once TLS is up (default: echo)
//   holdOutput: true to speak TLS over a stream whose output record.hold()
//     keeps back until record.release() writes it in one piece, so that
//     records arrive together, as a streaming server's do
//   host, port: where to listen (default 127.0.0.1, a port the system picks);
//     a port in use rejects with the listen error
async function startRdpServer(options = {}) {
  const { ec } = certificates();
  const connections = [];
  const server = net.createServer(async (socket) => {
    const record = { socket, preconnection: null, request: null, servername: undefined, tlsSocket: null };
    connections.push(record);
    socket.on('error', () => {});
    try {
      if (options.preconnection) record.preconnection = await readPreconnection(socket);
      record.request = await readTpkt(socket);
      if (typeof options.x224Reply === 'function') {
        if ((await options.x224Reply(socket, record.request)) === false) return;
      } else {
        socket.write(options.x224Reply ?? X224_CONFIRM);
      }
      const secure = new tls.TLSSocket(options.holdOutput ? heldOutput(socket, record) : socket, {
        isServer: true,
        key: ec.key,
        cert: ec.cert,
        SNICallback: (name, cb) => {
          record.servername = name;
          cb(null, null);
        },
        ...options.tlsOptions,
      });
      record.tlsSocket = secure;
      secure.on('error', () => {});
      secure.once('secure', () => (options.onSecure ?? ((s) => s.pipe(s)))(secure, record));
      socket.resume();
    } catch {
      socket.destroy();
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(options.port ?? 0, options.host ?? '127.0.0.1', resolve);
  });
  return {
    port: server.address().port,
    connections,
    certificate: ec.der,
    close: () => {
      for (const c of connections) (c.tlsSocket ?? c.socket).destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

module.exports = { startRdpServer, readPacket, readTpkt, readPreconnection };
