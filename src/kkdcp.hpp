#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "asn1.hpp"
#include "expected.hpp"

// The KDC proxy message of MS-KKDCP, with explicit tags:
//   KDC-PROXY-MESSAGE ::= SEQUENCE {
//     kerb-message   [0] OCTET STRING,
//     target-domain  [1] KERB-REALM OPTIONAL,   -- GeneralString
//     dclocator-hint [2] INTEGER OPTIONAL }
// kerb-message is a Kerberos message exactly as sent over TCP (RFC 4120,
// 7.2.2): a 4-byte big-endian length, then that many bytes.
namespace quillgate::kkdcp {

using asn1::Bytes;

struct KdcProxyMessage {
  Bytes kerb_message;                        // length prefix included; never shorter than 5 bytes
  std::optional<std::string> target_domain;  // the realm's bytes, as sent
};

// Strict decoder: one SEQUENCE and nothing after it; its elements in the
// order above, each once, each holding exactly one TLV of its type; every
// length checked against the bytes present; the kerb-message's length
// prefix equal to the bytes after it, and not zero. dclocator-hint is
// checked and dropped. Never reads beyond `bytes`.
Expected<KdcProxyMessage> parse_kdc_proxy_message(std::span<const std::uint8_t> bytes);

// A KDC-PROXY-MESSAGE holding only `kerb_message` (length prefix included).
Bytes create_kdc_proxy_message(std::span<const std::uint8_t> kerb_message);

}  // namespace quillgate::kkdcp
