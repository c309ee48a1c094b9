'use strict';

// Just enough DER to write RDCleanPath requests and read responses in tests.

function length(n) {
  if (n < 0x80) return Buffer.from([n]);
  const bytes = [];
  for (let v = n; v > 0; v = Math.floor(v / 256)) bytes.unshift(v & 0xff);
  return Buffer.from([0x80 | bytes.length, ...bytes]);
}

function tlv(tag, content) {
  content = Buffer.from(content);
  return Buffer.concat([Buffer.from([tag]), length(content.length), content]);
}

const X224_REQUEST = Buffer.from('030000130ee000000000000100080001000000', 'hex');
const X224_CONFIRM = Buffer.from('030000130ed000001234000201080001000000', 'hex');

// A request as a browser client sends it: version, destination as a
// UTF8String in [2], the pre-connection blob as a UTF8String in [5] (when
// given), X.224 Connection Request in [6].
function request({ destination, preconnectionBlob, x224 = X224_REQUEST } = {}) {
  const parts = [tlv(0xa0, tlv(0x02, [0x0d, 0x3e]))];
  if (destination !== undefined) parts.push(tlv(0xa2, tlv(0x0c, Buffer.from(destination, 'utf8'))));
  if (preconnectionBlob !== undefined) parts.push(tlv(0xa5, tlv(0x0c, Buffer.from(preconnectionBlob, 'utf8'))));
  if (x224) parts.push(tlv(0xa6, tlv(0x04, x224)));
  return tlv(0x30, Buffer.concat(parts));
}

function readTlv(buf, offset) {
  const tag = buf[offset];
  let len = buf[offset + 1];
  let header = 2;
  if (len & 0x80) {
    const n = len & 0x7f;
    len = 0;
    for (let i = 0; i < n; i++) len = len * 256 + buf[offset + 2 + i];
    header += n;
  }
  if (offset + header + len > buf.length) throw new Error('TLV runs past the buffer');
  return { tag, value: buf.subarray(offset + header, offset + header + len), end: offset + header + len };
}

// { version, error: { code, httpStatus, wsaError, tlsAlert }, x224, certificates, address }
// from a response PDU.
function parseResponse(buf) {
  const outer = readTlv(buf, 0);
  if (outer.tag !== 0x30 || outer.end !== buf.length) throw new Error('not one SEQUENCE');
  const result = {};
  for (let p = 0; p < outer.value.length;) {
    const element = readTlv(outer.value, p);
    const inner = readTlv(element.value, 0);
    if (inner.end !== element.value.length) throw new Error('element holds more than one TLV');
    switch (element.tag) {
      case 0xa0: result.version = inner.value.readUIntBE(0, inner.value.length); break;
      case 0xa1: {
        if (inner.tag !== 0x30) throw new Error('error is not a SEQUENCE');
        result.error = {};
        for (let q = 0; q < inner.value.length;) {
          const field = readTlv(inner.value, q);
          const integer = readTlv(field.value, 0);
          const value = integer.value.readUIntBE(0, integer.value.length);
          const name = { 0xa0: 'code', 0xa1: 'httpStatus', 0xa2: 'wsaError', 0xa3: 'tlsAlert' }[field.tag];
          if (!name) throw new Error(`unexpected error field ${field.tag.toString(16)}`);
          result.error[name] = value;
          q = field.end;
        }
        break;
      }
      case 0xa6: result.x224 = Buffer.from(inner.value); break;
      case 0xa7: {
        result.certificates = [];
        for (let q = 0; q < inner.value.length;) {
          const cert = readTlv(inner.value, q);
          result.certificates.push(Buffer.from(cert.value));
          q = cert.end;
        }
        break;
      }
      case 0xa9: result.address = inner.value.toString('utf8'); break;
      default: throw new Error(`unexpected element ${element.tag.toString(16)}`);
    }
    p = element.end;
  }
  return result;
}

// The RDP_PRECONNECTION_PDU_V2 for `text`, built from its definition:
// cbSize, Flags 0, Version 2, Id 0, cchPCB with the NUL, UTF-16LE text and NUL.
function preconnectionPdu(text) {
  const wide = Buffer.from(`${text}\0`, 'utf16le');
  const header = Buffer.alloc(18);
  header.writeUInt32LE(18 + wide.length, 0);
  header.writeUInt32LE(2, 8);
  header.writeUInt16LE(wide.length / 2, 16);
  return Buffer.concat([header, wide]);
}

// An X.224 Connection Confirm carrying RDP_NEG_FAILURE HYBRID_REQUIRED_BY_SERVER,
// as a server that requires Network Level Authentication answers TLS alone.
const X224_NEG_FAILURE = Buffer.from('030000130ed000000000000300080005000000', 'hex');

module.exports = { tlv, readTlv, request, parseResponse, preconnectionPdu, X224_REQUEST, X224_CONFIRM, X224_NEG_FAILURE };
