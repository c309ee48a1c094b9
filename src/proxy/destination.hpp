#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillgate::proxy {

inline constexpr std::uint16_t default_rdp_port = 3389;

struct Destination {
  std::string host;  // brackets of "[v6]:port" removed; may be empty
  std::uint16_t port = default_rdp_port;
};

// Splits "host", "host:port" or "[v6]" / "[v6]:port" into host and port.
// Total: where no usable port is found the port is 3389. No trimming, no
// scheme or user part is recognised.
Destination parse_destination(std::string_view destination);

}  // namespace quillgate::proxy
