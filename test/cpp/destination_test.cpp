#include <gtest/gtest.h>

#include "proxy/destination.hpp"

namespace quillgate::proxy {
namespace {

TEST(ParseDestination, Table) {
  const struct {
    const char* input;
    const char* host;
    std::uint16_t port;
  } cases[] = {
      {"192.0.2.10:3389", "192.0.2.10", 3389},
      {"192.0.2.10:443", "192.0.2.10", 443},
      {"rdp.example", "rdp.example", 3389},
      {"192.0.2.10", "192.0.2.10", 3389},
      {"host:0", "host", 0},
      {"host:65535", "host", 65535},
      {"host:65536", "host:65536", 3389},
      {"host:99999999999999999999", "host:99999999999999999999", 3389},
      {"host:03389", "host", 3389},
      {"host:0000000080", "host", 80},
      {"host:", "host:", 3389},
      {"host: 80", "host: 80", 3389},
      {"host:+443", "host:+443", 3389},
      {"host:44a", "host:44a", 3389},
      {"host:\xD9\xA3", "host:\xD9\xA3", 3389},
      {"scheme://host:3389", "scheme://host", 3389},
      {"[::1]:3389", "::1", 3389},
      {"[::1]", "::1", 3389},
      {"[::1]:", "::1", 3389},
      {"[::1]:+443", "::1", 443},
      {"[::1]:+", "::1", 3389},
      {"[::1]:-", "::1", 3389},
      {"[::1]:99999", "::1", 3389},
      {"[::1]:-1", "::1", 3389},
      {"[::1]:44a", "::1", 3389},
      {"[::1]x", "::1", 3389},
      {"[]", "", 3389},
      {"[]:80", "", 80},
      {"[x]]:80", "x", 3389},
      {"a]:80", "a]", 80},
      {":3389", "", 3389},
      {"", "", 3389},
      {"[::1:3389", "[::1", 3389},
      {"fe80::1", "fe80:", 1},
      {"::1", ":", 1},
      {"2001:db8::", "2001:db8::", 3389},
  };
  for (const auto& c : cases) {
    const Destination d = parse_destination(c.input);
    EXPECT_EQ(d.host, c.host) << c.input;
    EXPECT_EQ(d.port, c.port) << c.input;
  }
}

}  // namespace
}  // namespace quillgate::proxy
