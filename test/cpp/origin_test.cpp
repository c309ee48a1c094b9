#include <gtest/gtest.h>

#include "proxy/log.hpp"
#include "proxy/origin.hpp"

namespace quillgate::proxy {
namespace {

TEST(Origin, LoopbackWebOriginsAndOtherSchemesAreAllowed) {
  const OriginPolicy none;
  for (const char* origin : {"http://localhost", "http://LOCALHOST:3000", "http://app.localhost:8080",
                             "https://127.0.0.1", "http://127.255.0.9:1", "ws://127.0.0.1:9", "http://[::1]:5173",
                             "wss://[0:0:0:0:0:0:0:1]", "file://", "app://renderer", "chrome-extension://abcdef"}) {
    EXPECT_TRUE(origin_allowed(origin, none)) << origin;
  }
}

TEST(Origin, NullAndForeignWebOriginsAreRefused) {
  const OriginPolicy none;
  for (const char* origin :
       {"null", "NULL", "http://evil.example", "HTTPS://EVIL.EXAMPLE:443", "ws://10.0.0.1", "wss://192.168.1.1:8443",
        "http://127.0.0.1.evil.example", "http://localhost.evil.example", "http://evil-localhost", "http://[::2]",
        "http://127.0.0.1@evil.example", "http://localhost/", "http://[::1", "http://127.0.0.1:80x", "http://127.1",
        "http://", "http://:80", "http://localhost."}) {
    EXPECT_FALSE(origin_allowed(origin, none)) << origin;
  }
  constexpr char with_nul[] = "http://127.0.0.1\0.evil";
  EXPECT_FALSE(origin_allowed(std::string_view(with_nul, sizeof with_nul - 1), none));
}

TEST(Origin, PolicyFromTheEnvironmentAddsExactOriginsOrAll) {
  const auto listed = parse_allowed_origins(" https://rdp.example.com , ,http://intranet:8080,");
  EXPECT_FALSE(listed.any);
  EXPECT_EQ(listed.allowed, (std::vector<std::string>{"https://rdp.example.com", "http://intranet:8080"}));
  EXPECT_TRUE(origin_allowed("https://rdp.example.com", listed));
  EXPECT_TRUE(origin_allowed("http://intranet:8080", listed));
  EXPECT_FALSE(origin_allowed("https://rdp.example.com:443", listed));
  EXPECT_FALSE(origin_allowed("null", listed));

  const auto any = parse_allowed_origins("*");
  EXPECT_TRUE(origin_allowed("null", any));
  EXPECT_TRUE(origin_allowed("https://evil.example", any));
  EXPECT_FALSE(parse_allowed_origins(std::nullopt).any);
}

TEST(Printable, EscapesControlsBackslashesAndBrokenUtf8) {
  EXPECT_EQ(printable("rdp.example.com:3389"), "rdp.example.com:3389");
  EXPECT_EQ(printable("\x1b]0;owned\x07\r\n"), "\\x1b]0;owned\\x07\\x0d\\x0a");
  EXPECT_EQ(printable("a\\b\x7f"), "a\\x5cb\\x7f");
  EXPECT_EQ(printable("\xC2\x9B" "31m"), "\\xc2\\x9b31m");  // C1 CSI
  EXPECT_EQ(printable("caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80");
  EXPECT_EQ(printable("\xFF\xE4\xB8"), "\\xff\\xe4\\xb8");
  EXPECT_EQ(printable("a\xE2\x80\xAE" "b\xE2\x81\xA9"), "a\\xe2\\x80\\xaeb\\xe2\\x81\\xa9");  // U+202E, U+2069
  EXPECT_EQ(printable("\xD8\x9C" "c\xE2\x80\x8F"), "\\xd8\\x9cc\\xe2\\x80\\x8f");  // U+061C, U+200F
  EXPECT_EQ(printable(std::string_view("\0", 1)), "\\x00");
}

}  // namespace
}  // namespace quillgate::proxy
