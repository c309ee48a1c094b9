#include "destination.hpp"

#include <optional>

namespace quillgate::proxy {
namespace {

// One or more ASCII digits, value at most 65535; leading zeros allowed.
std::optional<std::uint16_t> parse_digits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

Destination plain_form(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return {std::string(text), default_rdp_port};
  if (const auto port = parse_digits(text.substr(colon + 1))) {
    return {std::string(text.substr(0, colon)), *port};
  }
  return {std::string(text), default_rdp_port};
}

}  // namespace

Destination parse_destination(std::string_view text) {
  if (!text.starts_with('[')) return plain_form(text);
  const auto close = text.find(']', 1);
  if (close == std::string_view::npos) return plain_form(text);

  Destination result{std::string(text.substr(1, close - 1)), default_rdp_port};
  const auto after = text.substr(close + 1);
  if (!after.starts_with(':')) return result;
  auto port_text = after.substr(1);
  // The bracketed form, unlike the plain one, takes an optional leading '+'.
  if (port_text.starts_with('+')) port_text.remove_prefix(1);
  if (const auto port = parse_digits(port_text)) result.port = *port;
  return result;
}

}  // namespace quillgate::proxy
