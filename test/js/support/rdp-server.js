'use strict';

// A scriptable stand-in for an RDP server: reads the X.224 Connection
// Request (one TPKT packet), answers, then speaks TLS on the same socket.
const net = require('node:net');
const tls = require('node:tls');
const { X224_CONFIRM } = require('./der');
const { certificates } = require('./certs');

function readTpkt(socket) {
  return new Promise((resolve, reject) => {
    let data = Buffer.alloc(0);
    const onData = (chunk) => {
      data = Buffer.concat([data, chunk]);
      if (data.length >= 4 && data.length >= data.readUInt16BE(2)) {
        socket.off('data', onData);
        socket.pause();
        const length = data.readUInt16BE(2);
        if (data.length > length) socket.unshift(data.subarray(length));
        resolve(data.subarray(0, length));
      }
    };
    socket.on('data', onData);
    socket.once('error', reject);
  });
}

// options:
//   x224Reply: Buffer, or async (socket, request) => void to answer by hand
//     (the TLS step is skipped when it returns false)
//   tlsOptions: extra options for the server TLS socket
//   onSecure: (tlsSocket, record) => void, called once TLS is up (default: echo)
async function startRdpServer(options = {}) {
  const { ec } = certificates();
  const connections = [];
  const server = net.createServer(async (socket) => {
    const record = { socket, request: null, servername: undefined, tlsSocket: null };
    connections.push(record);
    socket.on('error', () => {});
    try {
      record.request = await readTpkt(socket);
      if (typeof options.x224Reply === 'function') {
        if ((await options.x224Reply(socket, record.request)) === false) return;
      } else {
        socket.write(options.x224Reply ?? X224_CONFIRM);
      }
      const secure = new tls.TLSSocket(socket, {
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
  await new Promise((resolve) => server.listen(0, options.host ?? '127.0.0.1', resolve));
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

module.exports = { startRdpServer, readTpkt };
