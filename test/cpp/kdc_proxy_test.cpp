#include <gtest/gtest.h>

#include <optional>

#include "bytes.hpp"
#include "kkdcp.hpp"
#include "proxy/kdc_target.hpp"

namespace quillgate {
namespace {

using test::Bytes;
using test::cat;
using test::hex;
using test::to_hex;

// The kerb-message "abc" with its length prefix, in [0].
const Bytes kerb = hex("00 00 00 03 \"abc\"");
const Bytes a0 = cat({hex("A0 09 04 07"), kerb});
const Bytes a1 = hex("A1 0B 1B 09 \"REALM.TST\"");
const Bytes a2 = hex("A2 03 02 01 05");

Bytes seq(const Bytes& content) { return asn1::encode_sequence(content); }

TEST(KdcProxyMessage, Table) {
  const struct {
    const char* name;
    Bytes input;
    std::string error;  // empty: decodes
    std::optional<std::string> realm = std::nullopt;
  } cases[] = {
      {"kerb-message alone", seq(a0), ""},
      {"with target-domain", seq(cat({a0, a1})), "", "REALM.TST"},
      {"with target-domain and dclocator-hint", seq(cat({a0, a1, a2})), "", "REALM.TST"},
      {"with dclocator-hint alone", seq(cat({a0, a2})), ""},
      {"long-form lengths, not minimal", cat({hex("30 81 11 A0 82 00 0D 04 84 00 00 00 07"), kerb}), ""},
      {"empty", {}, "not a DER SEQUENCE"},
      {"not a SEQUENCE", cat({hex("31 0B"), a0}), "not a DER SEQUENCE"},
      {"indefinite length", cat({hex("30 80"), a0, hex("00 00")}), "not a DER SEQUENCE"},
      {"nine length octets", cat({hex("30 89 00 00 00 00 00 00 00 00 0B"), a0}), "not a DER SEQUENCE"},
      {"bytes after the SEQUENCE", cat({seq(a0), hex("00")}), "bytes after the SEQUENCE"},
      {"empty SEQUENCE", hex("30 00"), "no kerb-message"},
      {"missing [0]", seq(a1), "no kerb-message"},
      {"[0] after [1]", seq(cat({a1, a0})), "unexpected element"},
      {"[0] twice", seq(cat({a0, a0})), "unexpected element"},
      {"an unknown [3]", seq(cat({a0, hex("A3 03 02 01 00")})), "unexpected element"},
      {"primitive [0]", seq(cat({hex("80 07"), kerb})), "unexpected element"},
      {"an element past the SEQUENCE", cat({hex("30 0B A0 0A 04 07"), kerb}), "an element runs past the SEQUENCE"},
      {"[0] holding a UTF8String", seq(cat({hex("A0 09 0C 07"), kerb})), "kerb-message is not an OCTET STRING"},
      {"[0] holding two OCTET STRINGs", seq(cat({hex("A0 0B 04 07"), kerb, hex("04 00")})),
       "kerb-message is not an OCTET STRING"},
      {"[0] inner length past [0]", seq(cat({hex("A0 09 04 08"), kerb})), "kerb-message is not an OCTET STRING"},
      {"[1] holding a UTF8String", seq(cat({a0, hex("A1 0B 0C 09 \"REALM.TST\"")})),
       "target-domain is not a GeneralString"},
      {"[2] holding an OCTET STRING", seq(cat({a0, hex("A2 03 04 01 05")})), "dclocator-hint is not an INTEGER"},
      {"[2] holding an empty INTEGER", seq(cat({a0, hex("A2 02 02 00")})), "dclocator-hint is not an INTEGER"},
      {"length prefix above the bytes", seq(hex("A0 09 04 07 00 00 00 04 \"abc\"")),
       "kerb-message length prefix 4 does not match its 3 bytes"},
      {"length prefix below the bytes", seq(hex("A0 09 04 07 00 00 00 02 \"abc\"")),
       "kerb-message length prefix 2 does not match its 3 bytes"},
      {"length prefix with the top bit set", seq(hex("A0 09 04 07 80 00 00 03 \"abc\"")),
       "kerb-message length prefix 2147483651 does not match its 3 bytes"},
      {"shorter than a length prefix", seq(hex("A0 05 04 03 00 00 00")),
       "kerb-message shorter than its length prefix"},
      {"empty Kerberos message", seq(hex("A0 06 04 04 00 00 00 00")), "empty kerb-message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = kkdcp::parse_kdc_proxy_message(c.input);
    if (!c.error.empty()) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, c.error);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result->kerb_message, kerb);
    EXPECT_EQ(result->target_domain, c.realm);
  }

  // Every strict prefix of a well-formed message is refused.
  const Bytes whole = seq(cat({a0, a1, a2}));
  ASSERT_TRUE(kkdcp::parse_kdc_proxy_message(whole));
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(kkdcp::parse_kdc_proxy_message({whole.data(), n})) << n << " bytes";
  }
}

TEST(KdcProxyMessage, AnswerHoldsTheReplyInZeroAlone) {
  EXPECT_EQ(to_hex(kkdcp::create_kdc_proxy_message(kerb)), "30 0B A0 09 04 07 00 00 00 03 61 62 63");
  Bytes big = {0x00, 0x00, 0x01, 0x2C};
  big.resize(4 + 300, 0x7E);
  const Bytes answer = kkdcp::create_kdc_proxy_message(big);
  EXPECT_EQ(to_hex({answer.begin(), answer.begin() + 12}), "30 82 01 38 A0 82 01 34 04 82 01 30");
  const auto decoded = kkdcp::parse_kdc_proxy_message(answer);
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(decoded->kerb_message, big);
}

TEST(KdcProxyTarget, WhichPathsAndWhichKdc) {
  using proxy::is_kdc_proxy_target;
  for (const char* yes : {"/KdcProxy", "/KdcProxy/", "/KdcProxy/dc01", "/KdcProxy?realm=X"}) {
    EXPECT_TRUE(is_kdc_proxy_target(yes)) << yes;
  }
  for (const char* no : {"/", "", "/KdcProxyX", "/kdcproxy", "/x/KdcProxy", "http://h/KdcProxy"}) {
    EXPECT_FALSE(is_kdc_proxy_target(no)) << no;
  }
  // Until the request line says, it is no KDC proxy request.
  for (const char* yes : {"POST /KdcProxy ", "POST /KdcProxy/dc", "OPTIONS /KdcProxy?", "GET /KdcProxy HTTP/1.1"}) {
    EXPECT_TRUE(proxy::begins_kdc_proxy_request(yes)) << yes;
  }
  for (const char* no : {"", "POST", "POST /KdcProxy", "POST /KdcProxyX", "GET / HTTP/1.1\r\n", "POST /Kdc"}) {
    EXPECT_FALSE(proxy::begins_kdc_proxy_request(no)) << no;
  }
  // The time limit waits on what could still name it.
  for (const char* undecided : {"P", "POST", "POST ", "POST /", "POST /Kdc", "POST /KdcProxy"}) {
    EXPECT_TRUE(proxy::may_begin_kdc_proxy_request(undecided)) << undecided;
  }
  for (const char* decided : {"", "POST /KdcProxy ", "GET / ", "GET /x", "POST /KdcProxyX", "POST /kdc"}) {
    EXPECT_FALSE(proxy::may_begin_kdc_proxy_request(decided)) << decided;
  }

  const struct {
    const char* target;
    const char* host;  // nullptr: no KDC named; "" an error
    std::uint16_t port = 88;
  } cases[] = {
      {"/KdcProxy", nullptr},
      {"/KdcProxy/", nullptr},
      {"/KdcProxy?x=/dc01", nullptr},
      {"/KdcProxy/dc01.corp.example", "dc01.corp.example"},
      {"/KdcProxy/dc01.corp.example:88", "dc01.corp.example"},
      {"/KdcProxy/dc_01:750?x", "dc_01", 750},
      {"/KdcProxy/192.0.2.1:65535", "192.0.2.1", 65535},
      {"/KdcProxy/[::1]:8888", "::1", 8888},
      {"/KdcProxy/[2001:db8::1]", "2001:db8::1"},
      {"/KdcProxy/%5B%3A%3A1%5d%3a8888", "::1", 8888},
      {"/KdcProxy/dc01:0", ""},
      {"/KdcProxy/dc01:65536", ""},
      {"/KdcProxy/dc01:", ""},
      {"/KdcProxy/dc01:+88", ""},
      {"/KdcProxy/dc01:88:88", ""},
      {"/KdcProxy/::1", ""},
      {"/KdcProxy/[::1]:", ""},
      {"/KdcProxy/[::1]88", ""},
      {"/KdcProxy/[::1", ""},
      {"/KdcProxy/[]", ""},
      {"/KdcProxy/[dc01]", ""},
      {"/KdcProxy/dc01/x", ""},
      {"/KdcProxy//", ""},
      {"/KdcProxy/dc01%2", ""},
      {"/KdcProxy/dc01%zz", ""},
      {"/KdcProxy/dc01%00", ""},
      {"/KdcProxy/user@dc01", ""},
      {"/KdcProxy/d%C3%A9", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const auto kdc = proxy::kdc_from_target(c.target);
    if (c.host && !*c.host) {
      EXPECT_FALSE(kdc);
      continue;
    }
    ASSERT_TRUE(kdc) << kdc.error().message;
    ASSERT_EQ(kdc->has_value(), c.host != nullptr);
    if (!c.host) continue;
    EXPECT_EQ((*kdc)->host, c.host);
    EXPECT_EQ((*kdc)->port, c.port);
  }

  const auto realm = proxy::kdc_from_realm("CORP.EXAMPLE.COM");
  ASSERT_TRUE(realm);
  EXPECT_EQ(realm->host, "CORP.EXAMPLE.COM");
  EXPECT_EQ(realm->port, 88);
  for (const char* bad : {"", "A B", "A/B", "A:88", "[::1]"}) EXPECT_FALSE(proxy::kdc_from_realm(bad)) << bad;
  EXPECT_EQ(proxy::kdc_from_realm("R\x1b").error().message, "target-domain is not a host name: R\\x1b");
}

}  // namespace
}  // namespace quillgate
