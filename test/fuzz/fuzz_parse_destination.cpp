// libFuzzer target: parse_destination on arbitrary text, and the "host:port"
// round trip for any host not starting with '['.
#include <cstdlib>
#include <string>

#include "proxy/destination.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quillgate::proxy::parse_destination;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto any = parse_destination(text);
  if (any.host.size() > text.size()) std::abort();

  if (size < 2) return 0;
  const std::uint16_t port = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
  const std::string host(text.substr(2));
  if (host.starts_with('[')) return 0;
  const auto split = parse_destination(host + ":" + std::to_string(port));
  if (split.host != host || split.port != port) std::abort();
  return 0;
}
