#include "x224.hpp"

#include <iterator>
#include <string_view>

namespace quillgate::x224 {
namespace {

constexpr std::size_t tpkt_header_size = 4;
// Length indicator, TPDU code, DST-REF, SRC-REF, class option.
constexpr std::size_t cc_fixed_size = 7;
constexpr std::size_t negotiation_size = 8;  // type, flags, length (u16), failureCode (u32)
constexpr std::uint8_t connection_confirm = 0xD0;
constexpr std::uint8_t type_negotiation_failure = 0x03;

}  // namespace

std::optional<std::uint32_t> negotiation_failure(std::span<const std::uint8_t> packet) {
  constexpr std::size_t at = tpkt_header_size + cc_fixed_size;
  if (packet.size() < at + negotiation_size) return std::nullopt;
  // The length indicator counts the header bytes after itself.
  const std::size_t header_end = tpkt_header_size + 1 + packet[tpkt_header_size];
  if (header_end < at + negotiation_size || header_end > packet.size()) return std::nullopt;
  if ((packet[tpkt_header_size + 1] & 0xF0) != connection_confirm) return std::nullopt;
  if (packet[at] != type_negotiation_failure) return std::nullopt;
  if ((packet[at + 2] | packet[at + 3] << 8) != negotiation_size) return std::nullopt;
  return static_cast<std::uint32_t>(packet[at + 4]) | static_cast<std::uint32_t>(packet[at + 5]) << 8 |
         static_cast<std::uint32_t>(packet[at + 6]) << 16 | static_cast<std::uint32_t>(packet[at + 7]) << 24;
}

std::string describe_failure(std::uint32_t code) {
  static constexpr std::string_view names[] = {
      "SSL_REQUIRED_BY_SERVER", "SSL_NOT_ALLOWED_BY_SERVER", "SSL_CERT_NOT_ON_SERVER", "INCONSISTENT_FLAGS",
      "HYBRID_REQUIRED_BY_SERVER", "SSL_WITH_USER_AUTH_REQUIRED_BY_SERVER"};
  const std::string number = "failureCode " + std::to_string(code);
  if (code == 0 || code > std::size(names)) return number;
  return std::string(names[code - 1]) + " (" + number + ")";
}

}  // namespace quillgate::x224
