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
// [0] version, [1] bare destination, [2] UTF8String destination, [5]
// pre-connection blob (UTF8String), [6] X.224 Connection Request. A success
// response carries [0] version, [6] X.224 Connection Confirm, [7] certificate
// chain and [9] address; an error response [0] version and [1] error, and a
// negotiation error also [6], the server's X.224 reply.
namespace quillgate::rdcleanpath {

using asn1::Bytes;

inline constexpr std::uint16_t version = 3390;

inline constexpr std::string_view invalid_sequence_message = "无效的 ASN.1 SEQUENCE";
inline constexpr std::string_view missing_destination_message = "缺少目标地址";

struct RdCleanPathRequest {
  std::string destination;  // never empty
  std::optional<Bytes> x224_connection_pdu;
  // For the server ahead of the X.224 request: the text's bytes as the client
  // sent them, UTF-8 (invalid sequences become U+FFFD in the PDU); never
  // empty.
  std::optional<std::string> preconnection_blob;
};

// A destination longer than this is not taken: no host name comes near it,
// and the text goes into the statistics and the log.
inline constexpr std::size_t max_destination_size = 4096;

// Lenient decoder: skips what it does not use and stops quietly at a
// malformed element. Fails only when the outer SEQUENCE is unusable or no
// destination was found. Never reads beyond `bytes`.
Expected<RdCleanPathRequest> parse_request(std::span<const std::uint8_t> bytes);

// error_code of the error answers: a general error, told apart by its HTTP
// status, and the server's refusal of the negotiation, which carries its reply.
inline constexpr std::uint16_t general_error = 1;
inline constexpr std::uint16_t negotiation_error = 2;

// Why a general error happened, as far as it is known.
struct ErrorDetails {
  std::uint16_t http_status;
  std::optional<std::uint16_t> wsa_error;  // Windows Sockets code of a failed connection
  std::optional<std::uint8_t> tls_alert;   // the TLS alert the server sent
};

// [0] version, then [1] error: SEQUENCE { [0] error_code INTEGER 1,
// [1] http_status_code INTEGER, [2] wsa_last_error INTEGER (when known),
// [3] tls_alert_code INTEGER (when known) }.
Bytes create_error_response(const ErrorDetails& details);
inline Bytes create_error_response(std::uint16_t http_status) { return create_error_response({http_status, {}, {}}); }

// [0] version, [1] error: SEQUENCE { [0] error_code INTEGER 2 }, then [6]
// the server's X.224 reply as it came, for the client to read the failure.
Bytes create_negotiation_error_response(std::span<const std::uint8_t> x224_reply);

Bytes create_success_response(std::string_view server_address,
                              std::span<const std::uint8_t> x224_response,
                              std::span<const Bytes> certificate_chain);

// A fixed 32-byte stand-in for a server that presents no usable certificate:
// the start of an X.509 structure whose announced lengths exceed the bytes.
Bytes fallback_test_certificate_der();

}  // namespace quillgate::rdcleanpath
