#include "proxy/origin.hpp"

#include <algorithm>

#include "proxy/system.hpp"

namespace quillgate::proxy {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_lower(std::string_view text, std::string_view lowered) {
  return text.size() == lowered.size() &&
         std::equal(text.begin(), text.end(), lowered.begin(), [](char a, char b) { return lower(a) == b; });
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The host of a web origin ("scheme://host[:port]", nothing after), or
// nullopt when the text is not of that shape.
std::optional<std::string_view> web_origin_host(std::string_view authority) {
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const auto rest = authority.substr(close + 1);
    if (!rest.empty() && !(rest.starts_with(':') && all_digits(rest.substr(1)))) return std::nullopt;
    return authority.substr(0, close + 1);
  }
  const auto colon = authority.find(':');
  if (colon != std::string_view::npos && !all_digits(authority.substr(colon + 1))) return std::nullopt;
  return authority.substr(0, colon);
}

bool is_loopback_host(std::string_view host) {
  if (host.find('\0') != std::string_view::npos || host.empty()) return false;
  if (host.starts_with('[')) {
    const std::string inner(host.substr(1, host.size() - 2));
    in6_addr address{};
    return ::inet_pton(AF_INET6, inner.c_str(), &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
  }
  std::string name(host);
  std::transform(name.begin(), name.end(), name.begin(), lower);
  if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost"))) return true;
  in_addr address{};
  return ::inet_pton(AF_INET, name.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

OriginPolicy parse_allowed_origins(std::optional<std::string_view> raw) {
  OriginPolicy policy;
  if (!raw) return policy;
  std::string_view rest = *raw;
  for (;;) {
    const auto comma = rest.find(',');
    const auto entry = trim(rest.substr(0, comma));
    if (entry == "*") {
      policy.any = true;
    } else if (!entry.empty()) {
      policy.allowed.emplace_back(entry);
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return policy;
}

const OriginPolicy& allowed_origins() {
  static const OriginPolicy policy = [] {
    const auto raw = os::getenv("QUILLGATE_ALLOWED_ORIGINS");
    return parse_allowed_origins(raw ? std::optional<std::string_view>(*raw) : std::nullopt);
  }();
  return policy;
}

bool origin_allowed(std::string_view origin, const OriginPolicy& policy) {
  if (policy.any) return true;
  if (std::find(policy.allowed.begin(), policy.allowed.end(), origin) != policy.allowed.end()) return true;
  const std::string_view text = trim(origin);
  if (equals_lower(text, "null")) return false;
  const auto separator = text.find("://");
  if (separator == std::string_view::npos) return true;  // not a web origin
  const std::string_view scheme = text.substr(0, separator);
  const bool web = equals_lower(scheme, "http") || equals_lower(scheme, "https") || equals_lower(scheme, "ws") ||
                   equals_lower(scheme, "wss");
  if (!web) return true;
  const auto host = web_origin_host(text.substr(separator + 3));
  return host && is_loopback_host(*host);
}

}  // namespace quillgate::proxy
