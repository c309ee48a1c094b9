'use strict';

// For the KDC proxy's tests: KDC-PROXY-MESSAGEs, a scriptable stand-in for a
// KDC on TCP, and raw HTTP/1.1 requests to the gateway.
const net = require('node:net');
const { tlv, readTlv } = require('./der');

// A Kerberos message as sent over TCP: its 4-byte length, then the bytes.
function framed(message) {
  const prefix = Buffer.alloc(4);
  prefix.writeUInt32BE(message.length);
  return Buffer.concat([prefix, message]);
}

// KDC-PROXY-MESSAGE { [0] kerb-message, [1] target-domain, [2] dclocator-hint }.
function kdcProxyMessage({ kerbMessage, realm, hint } = {}) {
  const parts = [tlv(0xa0, tlv(0x04, kerbMessage))];
  if (realm !== undefined) parts.push(tlv(0xa1, tlv(0x1b, Buffer.from(realm, 'latin1'))));
  if (hint !== undefined) parts.push(tlv(0xa2, tlv(0x02, [hint])));
  return tlv(0x30, Buffer.concat(parts));
}

// The kerb-message of an answer, which must hold nothing else.
function kerbMessageOf(body) {
  const outer = readTlv(body, 0);
  if (outer.tag !== 0x30 || outer.end !== body.length) throw new Error('not one SEQUENCE');
  const element = readTlv(outer.value, 0);
  if (element.tag !== 0xa0 || element.end !== outer.value.length) throw new Error('not [0] alone');
  const octets = readTlv(element.value, 0);
  if (octets.tag !== 0x04 || octets.end !== element.value.length) throw new Error('[0] is not one OCTET STRING');
  return Buffer.from(octets.value);
}

// A KDC on 127.0.0.1 that reads one length-prefixed message per connection
// and answers it with `answer(message, socket)`: bytes to write (prefix
// included) and close, or nothing to answer by hand.
async function startKdc(answer = (message) => framed(Buffer.concat([Buffer.from('reply to '), message.subarray(4)]))) {
  const requests = [];
  const sockets = new Set();
  let accepted = 0;
  const server = net.createServer((socket) => {
    accepted += 1;
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
    socket.on('error', () => {});
    let data = Buffer.alloc(0);
    socket.on('data', (chunk) => {
      data = Buffer.concat([data, chunk]);
      if (data.length < 4 || data.length < 4 + data.readUInt32BE(0)) return;
      requests.push(data);
      const reply = answer(data, socket);
      if (reply) socket.end(reply);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    requests,
    // Connections accepted so far, whether or not still open.
    accepted: () => accepted,
    close: () => new Promise((resolve) => {
      for (const socket of sockets) socket.destroy();
      server.close(resolve);
    }),
  };
}

// Connects, then sends `head` (text, CRLF line ends added) and `body` in one
// write, or as `writes(socket, bytes)` sends them. Resolves once connected
// with the socket and `answer`, which resolves once the gateway has closed
// the connection: { status, headers (lower-case names), body, raw }.
async function openRequest(port, head, body = Buffer.alloc(0), { writes } = {}) {
  const socket = net.connect(port, '127.0.0.1');
  await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
  const chunks = [];
  const answer = new Promise((resolve) => {
    socket.on('data', (d) => chunks.push(d));
    socket.on('error', () => {});
    socket.on('close', () => resolve(parseAnswer(Buffer.concat(chunks))));
  });
  const request = Buffer.concat([Buffer.from(`${head.trim().split('\n').join('\r\n')}\r\n\r\n`, 'latin1'), body]);
  if (writes) writes(socket, request);
  else socket.write(request);
  return { socket, answer };
}

async function httpRequest(port, head, body, options) {
  return (await openRequest(port, head, body, options)).answer;
}

// Informational answers (100 Continue) before the final one are listed in
// `informational`.
function parseAnswer(raw, informational = []) {
  const end = raw.indexOf('\r\n\r\n');
  if (end < 0) return { status: 0, headers: {}, body: raw, raw, informational };
  const [statusLine, ...lines] = raw.subarray(0, end).toString('latin1').split('\r\n');
  const headers = {};
  for (const line of lines) {
    const colon = line.indexOf(':');
    const name = line.slice(0, colon).toLowerCase();
    headers[name] = name in headers ? `${headers[name]}, ${line.slice(colon + 1).trim()}` : line.slice(colon + 1).trim();
  }
  const status = Number(statusLine.split(' ')[1]);
  if (status >= 100 && status < 200) return parseAnswer(raw.subarray(end + 4), [...informational, status]);
  return { status, headers, body: raw.subarray(end + 4), raw, informational };
}

// A POST of `body` to `path`, as MIT's client sends it.
function post(port, path, body, extra = '') {
  const head = `POST ${path} HTTP/1.1\nHost: 127.0.0.1\nContent-Type: application/kerberos\n` +
    `Content-Length: ${body.length}${extra ? `\n${extra}` : ''}`;
  return httpRequest(port, head, body);
}

// Recorded from MIT's kinit 1.20 and krb5kdc (realm QUILLGATE.TEST, user
// alice, who needs pre-authentication), as sent over TCP: kinit's first
// AS-REQ and the KDC's KRB-ERROR answering it (error code 25,
// KDC_ERR_PREAUTH_REQUIRED).
const RECORDED = {
  asReq: Buffer.from(
    '000000bd6a81ba3081b7a103020105a20302010aa31a3018300aa10402020096a2020400300aa10402020095a2020400a481' +
    '8e30818ba00703050000000010a1123010a003020101a10930071b05616c696365a2101b0e5155494c4c474154452e544553' +
    '54a3233021a003020102a11a30181b066b72627467741b0e5155494c4c474154452e54455354a511180f3230323631323130' +
    '3138343433365aa70602040426ba43a81a301802011202011102011402011302011002011702011902011a', 'hex'),
  preauthRequired: Buffer.from(
    '000000f57e81f23081efa003020105a10302011ea411180f32303236313230393138343433365aa505020309e6a2a6030201' +
    '19a7101b0e5155494c4c474154452e54455354a8123010a003020101a10930071b05616c696365a9101b0e5155494c4c4741' +
    '54452e54455354aa233021a003020102a11a30181b066b72627467741b0e5155494c4c474154452e54455354ab101b0e4e45' +
    '454445445f50524541555448ac5504533051300aa10402020088a20204003029a103020113a2220420301e301ca003020112' +
    'a1151b135155494c4c474154452e54455354616c6963653009a103020102a2020400300da10402020085a20504034d4954', 'hex'),
};

module.exports = { RECORDED, framed, kdcProxyMessage, kerbMessageOf, startKdc, openRequest, httpRequest, post };
