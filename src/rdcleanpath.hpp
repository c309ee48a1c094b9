#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "asn1.hpp"
#include "expected.hpp"

// The RDCleanPath PDU as the gateway reads it (requests) and writes it
// (responses). A request is one SEQUENCE of context-tagged elements:
// [0] version, [1] bare destination, [2] UTF8String destination, [6] X.224
// Connection Request. A success response carries [0] version, [6] X.224
// Connection Confirm, [7] certificate chain and [9] address; an error
// response [0] version and [1] error.
namespace quillgate::rdcleanpath {

using asn1::Bytes;

inline constexpr std::uint16_t version = 3390;

inline constexpr std::string_view invalid_sequence_message = "无效的 ASN.1 SEQUENCE";
inline constexpr std::string_view missing_destination_message = "缺少目标地址";

struct RdCleanPathRequest {
  std::string destination;  // never empty
  std::optional<Bytes> x224_connection_pdu;
};

// Lenient decoder: skips what it does not use and stops quietly at a
// malformed element. Fails only when the outer SEQUENCE is unusable or no
// destination was found. Never reads beyond `bytes`.
Expected<RdCleanPathRequest> parse_request(std::span<const std::uint8_t> bytes);

// error_code of every error answer: a general error, told apart by its HTTP status.
inline constexpr std::uint16_t general_error = 1;

// [0] version, then [1] error: SEQUENCE { [0] error_code INTEGER,
// [1] http_status_code INTEGER }.
Bytes create_error_response(std::uint16_t http_status);

Bytes create_success_response(std::string_view server_address,
                              std::span<const std::uint8_t> x224_response,
                              std::span<const Bytes> certificate_chain);

// A fixed 32-byte stand-in for a server that presents no usable certificate:
// the start of an X.509 structure whose announced lengths exceed the bytes.
Bytes fallback_test_certificate_der();

}  // namespace quillgate::rdcleanpath
