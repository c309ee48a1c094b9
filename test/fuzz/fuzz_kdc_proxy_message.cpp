// libFuzzer target: the KDC proxy's decoders on arbitrary bytes, the body
// as a KDC-PROXY-MESSAGE and the same bytes as the KDC named in its URL.
#include <cstdlib>
#include <string>

#include "kkdcp.hpp"
#include "proxy/kdc_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillgate;
  const auto message = kkdcp::parse_kdc_proxy_message({data, size});
  if (message) {
    // What is relayed is a whole length-prefixed message from the input,
    // and it survives the answer's encoding unchanged.
    const auto& kerb = message->kerb_message;
    if (kerb.size() < 5 || kerb.size() > size) std::abort();
    const std::size_t announced = std::size_t{kerb[0]} << 24 | std::size_t{kerb[1]} << 16 | kerb[2] << 8 | kerb[3];
    if (announced != kerb.size() - 4) std::abort();
    const auto again = kkdcp::parse_kdc_proxy_message(kkdcp::create_kdc_proxy_message(kerb));
    if (!again || again->kerb_message != kerb || again->target_domain) std::abort();
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string target = std::string(proxy::kdc_proxy_path) + "/" + std::string(text);
  const auto kdc = proxy::kdc_from_target(target);
  if (kdc && *kdc) {
    const auto& host = (*kdc)->host;
    if (host.empty() || (*kdc)->port == 0) std::abort();
    // A named KDC is a bare host: nothing that could end or extend the name.
    if (host.find_first_of("/?#@ \r\n[]") != std::string::npos || host.find('\0') != std::string::npos) std::abort();
  }
  (void)proxy::begins_kdc_proxy_request(text);
  return 0;
}
