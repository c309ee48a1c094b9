#include "proxy/kdc_target.hpp"

#include <algorithm>
#include <string>

#include "proxy/log.hpp"

namespace quillgate::proxy {
namespace {

// What follows "/KdcProxy" in a KDC proxy target: nothing, a query, or a
// further path segment.
bool ends_kdc_proxy_path(std::string_view rest) { return rest.empty() || rest[0] == '?' || rest[0] == '/'; }

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex_value(text[i + 1]);
    const int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return out;
}

// Letters, digits, '-', '_' and '.': host names, realms used as host names,
// and IPv4 addresses.
bool is_host_name(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
  });
}

bool is_ipv6_text(std::string_view host) {
  return host.find(':') != std::string_view::npos && std::all_of(host.begin(), host.end(), [](char c) {
    return hex_value(c) >= 0 || c == ':' || c == '.';
  });
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

bool is_kdc_proxy_target(std::string_view target) {
  return target.starts_with(kdc_proxy_path) && ends_kdc_proxy_path(target.substr(kdc_proxy_path.size()));
}

bool begins_kdc_proxy_request(std::string_view received) {
  const auto space = received.find(' ');
  if (space == std::string_view::npos) return false;
  const auto target = received.substr(space + 1);
  if (target.size() <= kdc_proxy_path.size() || !target.starts_with(kdc_proxy_path)) return false;
  const auto rest = target.substr(kdc_proxy_path.size());
  return rest[0] == ' ' || ends_kdc_proxy_path(rest);
}

bool may_begin_kdc_proxy_request(std::string_view received) {
  if (received.empty() || begins_kdc_proxy_request(received)) return false;
  const auto space = received.find(' ');
  return space == std::string_view::npos || kdc_proxy_path.starts_with(received.substr(space + 1));
}

Expected<std::optional<Destination>> kdc_from_target(std::string_view target) {
  std::string_view named = path_of(target).substr(kdc_proxy_path.size());
  if (named.starts_with('/')) named.remove_prefix(1);
  if (named.empty()) return std::optional<Destination>();
  const auto decoded = percent_decode(named);
  if (!decoded) return Error{"bad percent-encoding in the KDC name: " + printable(named)};
  const std::string_view text = *decoded;
  const auto not_a_kdc = [&] { return Error{"not a host name or address with an optional port: " + printable(text)}; };

  std::string_view host = text;
  std::string_view port;
  bool bracketed = false;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return not_a_kdc();
    host = text.substr(1, close - 1);
    const auto after = text.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(':') || after.size() == 1) return not_a_kdc();
      port = after.substr(1);
    }
    bracketed = true;
  } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return not_a_kdc();
  }
  if (bracketed ? !is_ipv6_text(host) : !is_host_name(host)) return not_a_kdc();
  Destination kdc{std::string(host), default_kdc_port};
  if (!port.empty()) {
    const auto number = parse_port(port);
    if (!number) return not_a_kdc();
    kdc.port = *number;
  }
  return std::optional<Destination>(std::move(kdc));
}

Expected<Destination> kdc_from_realm(std::string_view realm) {
  if (!is_host_name(realm)) return Error{"target-domain is not a host name: " + printable(realm)};
  return Destination{std::string(realm), default_kdc_port};
}

}  // namespace quillgate::proxy
