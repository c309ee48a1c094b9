#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Which web pages may open a WebSocket to the gateway. Browsers let any page
// connect to ws://127.0.0.1:PORT and send the page's origin with the
// handshake; without a check, any site the user visits could relay through
// the gateway into the user's network. Clients that are not web pages send
// no Origin header, or one of their own scheme, and are let through.
namespace quillgate::proxy {

struct OriginPolicy {
  bool any = false;                  // "*": every origin, "null" included
  std::vector<std::string> allowed;  // further origins, compared exactly
};

// QUILLGATE_ALLOWED_ORIGINS: a comma-separated list of origins, or "*".
// White space around each entry is ignored; empty entries are skipped.
OriginPolicy parse_allowed_origins(std::optional<std::string_view> raw);

// The policy from QUILLGATE_ALLOWED_ORIGINS, read once per process.
const OriginPolicy& allowed_origins();

// Refused: "null" (sandboxed frames, data: URLs, some redirects), and
// http, https, ws and wss origins whose host is not a loopback host
// (localhost, *.localhost, 127.0.0.0/8, [::1]), unless the policy lists them.
// Accepted: every other scheme (file://, application schemes such as app://)
// and loopback web origins on any port.
bool origin_allowed(std::string_view origin, const OriginPolicy& policy);

}  // namespace quillgate::proxy
