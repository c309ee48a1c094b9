#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// What the gateway reads in the server's X.224 reply itself: whether the
// server refused the security protocols the client offered.
namespace quillgate::x224 {

// The failureCode of an RDP Negotiation Failure (MS-RDPBCGR 2.2.1.2.2) in a
// whole TPKT packet, or nullopt for any other reply. It counts only in a
// Connection Confirm TPDU whose header, as its length indicator gives it,
// holds the whole 8-byte structure right after the TPDU's 7 fixed bytes,
// with type 3 and length 8: a reply cut short, or one whose bytes merely
// look alike further on, is not a refusal.
std::optional<std::uint32_t> negotiation_failure(std::span<const std::uint8_t> packet);

// "HYBRID_REQUIRED_BY_SERVER (failureCode 5)", or "failureCode N" for a code
// the protocol does not name.
std::string describe_failure(std::uint32_t code);

}  // namespace quillgate::x224
