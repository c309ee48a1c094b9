#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/asn1t.h>

#include <optional>

#include "asn1.hpp"
#include "bytes.hpp"
#include "preconnection.hpp"
#include "rdcleanpath.hpp"
#include "utf8.hpp"
#include "x224.hpp"

namespace quillgate {
namespace {

using test::Bytes;
using test::cat;
using test::hex;
using test::repeat;
using test::to_hex;

const std::string invalid(rdcleanpath::invalid_sequence_message);
const std::string missing(rdcleanpath::missing_destination_message);
const Bytes x224_request = hex("03 00 00 0B 06 E0 00 00 00 00 00");
const std::string address = "192.0.2.10:3389";

struct RequestCase {
  const char* name;
  Bytes input;
  std::string error;                 // empty: decodes
  std::string destination = {};
  std::optional<Bytes> x224 = std::nullopt;
  std::optional<std::string> blob = std::nullopt;
};

Bytes seq(const Bytes& content) { return asn1::encode_sequence(content); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(ParseRequest, Table) {
  const Bytes example = hex(
      "30 28 A0 04 02 02 0D 3E A2 11 0C 0F \"192.0.2.10:3389\" A6 0D 04 0B 03 00 00 0B 06 E0 00 00 00 00 00");
  const Bytes a1 = cat({hex("A1 0F"), text(address)});
  const Bytes a2 = cat({hex("A2 11 0C 0F"), text(address)});
  const Bytes a6 = hex("A6 0D 04 0B 03 00 00 0B 06 E0 00 00 00 00 00");
  const std::vector<RequestCase> cases = {
      {"empty", {}, invalid},
      {"one byte", hex("30"), invalid},
      {"not a sequence", hex("31 00"), invalid},
      {"indefinite length", hex("30 80"), invalid},
      {"empty sequence", hex("30 00"), missing},
      {"content cut short", hex("30 05 A1 03 61 62"), invalid},
      {"long-form length bytes missing", hex("30 84 00 00"), invalid},
      {"length overflowing 64 bits", hex("30 88 FF FF FF FF FF FF FF FF 00"), invalid},
      {"trailing bytes ignored", hex("30 05 A1 03 \"a.b\" FF FF"), "", "a.b"},
      {"non-minimal outer length", cat({hex("30 81 28"), Bytes(example.begin() + 2, example.end())}), "",
       address, x224_request},
      {"example request", example, "", address, x224_request},
      {"no version", seq(cat({a2, a6})), "", address, x224_request},
      {"any version", seq(cat({hex("A0 03 02 01 07"), a2})), "", address},
      // A computer name as users type it: no full stop, no colon.
      {"[2] single label", seq(hex("A2 06 0C 04 \"DC01\"")), "", "DC01"},
      {"[2] one character", seq(hex("A2 03 0C 01 \"h\"")), "", "h"},
      {"[2] single label with port", seq(hex("A2 0B 0C 09 \"host:3389\"")), "", "host:3389"},
      {"[2] empty text ignored", seq(cat({a1, hex("A2 02 0C 00")})), "", address},
      {"[2] bare text ignored", seq(cat({hex("A2 0F"), text(address)})), missing},
      {"[2] inner length beyond value", seq(hex("A2 05 0C 09 \"a.b\"")), missing},
      {"[1] bare text", seq(a1), "", address},
      {"[1] keeps an inner tag", seq(cat({hex("A1 11 0C 0F"), text(address)})), "",
       "\x0C\x0F" + address},
      {"[1] then [2]: last wins", seq(cat({hex("A1 03 \"a.b\""), a2})), "", address},
      {"[2] then [1]: last wins", seq(cat({a2, hex("A1 03 \"a.b\"")})), "", "a.b"},
      {"[6] bare bytes", seq(cat({a1, hex("A6 0B"), x224_request})), "", address, x224_request},
      {"[6] inner length beyond value, scan goes on",
       seq(cat({hex("A6 0D 04 20"), x224_request, a1})), "", address},
      {"empty elements ignored", seq(cat({hex("A2 00 A6 00 A1 00"), a1})), "", address},
      {"element past the content stops the scan",
       seq(cat({a1, hex("A6 7F 04 0B")})), "", address},
      {"element past the content before a destination", seq(cat({hex("A6 7F 04 0B"), a1})), missing},
      {"indefinite element length stops the scan", seq(cat({hex("A3 80"), a1})), missing},
      {"long-form element length past the content", seq(hex("A3 84 00 00")), missing},
      {"trailing single byte ignored", seq(cat({a1, hex("A3")})), "", address},
      {"[5] blob", seq(cat({a2, hex("A5 0A 0C 08 \"vm-guid1\""), a6})), "", address, x224_request, "vm-guid1"},
      {"[5] before the destination, kept as sent (replaced in its PDU)", seq(cat({hex("A5 04 0C 02 FF \"a\""), a1})),
       "", address, std::nullopt, "\xFF" "a"},
      {"[5] empty value, empty text ignored", seq(cat({a1, hex("A5 00 A5 02 0C 00")})), "", address},
      {"[5] other than a UTF8String ignored", seq(cat({a1, hex("A5 05 04 03 \"abc\" A5 03 \"abc\"")})), "",
       address},
      {"[5] last wins, an empty one changes nothing", seq(cat({hex("A5 03 0C 01 \"a\" A5 03 0C 01 \"b\" A5 00"), a1})),
       "", address, std::nullopt, "b"},
      {"[5] without a destination", seq(hex("A5 03 0C 01 \"a\"")), missing},
      // No host name comes near it: a text this long is not decoded at all.
      {"[2] longer than 4096 bytes not taken", seq(cat({a1, hex("A2 82 10 05 0C 82 10 01"), Bytes(4097, 'h')})), "",
       address},
      {"[1] of 4096 bytes taken", seq(cat({hex("A1 82 10 00"), Bytes(4096, 'h')})), "", std::string(4096, 'h')},
      {"primitive tag 0x82 skipped", seq(cat({hex("82 0F"), text(address)})), missing},
      {"unknown tags skipped", seq(cat({hex("A3 01 00 A4 01 00 A5 01 00 A7 01 00 BF 01 00"), a1})), "", address},
      {"invalid UTF-8 replaced", seq(hex("A1 05 \"a.\" FF \"b\" C3")), "", "a.\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
      {"surrogate and overlong replaced", seq(hex("A1 06 ED A0 80 C0 AF 2E")), "",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD."},
      {"truncated sequence is one replacement", seq(hex("A1 04 E2 82 2E 2E")), "", "\xEF\xBF\xBD.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = rdcleanpath::parse_request(c.input);
    if (!c.error.empty()) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, c.error);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result->destination, c.destination);
    EXPECT_EQ(result->x224_connection_pdu, c.x224);
    EXPECT_EQ(result->preconnection_blob, c.blob);
  }
}

TEST(Asn1, EncodeLength) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "00"}, {127, "7F"}, {128, "81 80"}, {255, "81 FF"}, {256, "82 01 00"}, {4660, "82 12 34"},
      {65535, "82 FF FF"}, {65536, "83 01 00 00"}, {~0ull, "88 FF FF FF FF FF FF FF FF"}};
  for (const auto& [n, octets] : cases) EXPECT_EQ(to_hex(asn1::encode_length(n)), octets) << n;
  EXPECT_EQ(to_hex(asn1::encode_octet_string({})), "04 00");
  EXPECT_EQ(to_hex(asn1::encode_sequence({})), "30 00");
}

TEST(Responses, Bytes) {
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response(400)),
            "30 15 A0 04 02 02 0D 3E A1 0D 30 0B A0 03 02 01 01 A1 04 02 02 01 90");
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response(500)),
            "30 15 A0 04 02 02 0D 3E A1 0D 30 0B A0 03 02 01 01 A1 04 02 02 01 F4");
  EXPECT_EQ(to_hex(rdcleanpath::create_success_response("", {}, {})), "30 0A A0 04 02 02 0D 3E A9 02 0C 00");

  // With the Windows Sockets code (connection refused, host not found), the
  // TLS alert (handshake failure; 255 needs a leading zero octet), or both.
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response({500, 10061, {}})),
            "30 1B A0 04 02 02 0D 3E A1 13 30 11 A0 03 02 01 01 A1 04 02 02 01 F4 A2 04 02 02 27 4D");
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response({500, 11001, {}})),
            "30 1B A0 04 02 02 0D 3E A1 13 30 11 A0 03 02 01 01 A1 04 02 02 01 F4 A2 04 02 02 2A F9");
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response({500, {}, 40})),
            "30 1A A0 04 02 02 0D 3E A1 12 30 10 A0 03 02 01 01 A1 04 02 02 01 F4 A3 03 02 01 28");
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response({500, {}, 255})),
            "30 1B A0 04 02 02 0D 3E A1 13 30 11 A0 03 02 01 01 A1 04 02 02 01 F4 A3 04 02 02 00 FF");
  EXPECT_EQ(to_hex(rdcleanpath::create_error_response({500, 10054, 0})),
            "30 20 A0 04 02 02 0D 3E A1 18 30 16 A0 03 02 01 01 A1 04 02 02 01 F4 A2 04 02 02 27 46 A3 03 02 01 00");

  // A negotiation error: error_code 2 and the server's reply, unchanged.
  const Bytes refusal = hex("03 00 00 13 0E D0 00 00 00 00 00 03 00 08 00 05 00 00 00");
  EXPECT_EQ(rdcleanpath::create_negotiation_error_response(refusal),
            cat({hex("30 26 A0 04 02 02 0D 3E A1 07 30 05 A0 03 02 01 02 A6 15 04 13"), refusal}));

  const Bytes x224 = hex("03 00 00 0B 06 D0 00 00 12 34 00");
  const Bytes placeholder = rdcleanpath::fallback_test_certificate_der();
  EXPECT_EQ(placeholder.size(), 32u);
  const std::vector<Bytes> chain = {placeholder};
  EXPECT_EQ(rdcleanpath::create_success_response(address, x224, chain),
            cat({hex("30 4E A0 04 02 02 0D 3E A6 0D 04 0B"), x224, hex("A7 24 30 22 04 20"), placeholder,
                 hex("A9 11 0C 0F"), text(address)}));

  const Bytes x224_128 = repeat(0x5A, 128);
  const auto long_x224 = rdcleanpath::create_success_response("", x224_128, {});
  EXPECT_EQ(Bytes(long_x224.begin() + 9, long_x224.begin() + 15), hex("A6 81 83 04 81 80"));

  const std::vector<Bytes> big = {repeat(0x11, 1000)};
  const auto big_cert = rdcleanpath::create_success_response("", {}, big);
  EXPECT_EQ(Bytes(big_cert.begin() + 10, big_cert.begin() + 22), hex("A7 82 03 F0 30 82 03 EC 04 82 03 E8"));

  const std::vector<Bytes> with_empty = {placeholder, {}};
  const auto r = rdcleanpath::create_success_response("h:1", {}, with_empty);
  EXPECT_EQ(Bytes(r.end() - 9, r.end() - 7), hex("04 00"));
}

struct Element {
  int tag;        // context tag number
  int inner_tag;  // universal tag of the one TLV inside
  Bytes content;  // that TLV's content
};

// Reads a SEQUENCE of explicitly tagged context elements with OpenSSL's DER
// parser; each element must hold exactly one universal TLV.
std::vector<Element> read_elements(const Bytes& der) {
  const unsigned char* p = der.data();
  long length = 0;
  int tag = 0;
  int cls = 0;
  if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) != V_ASN1_CONSTRUCTED ||
      tag != V_ASN1_SEQUENCE || p + length != der.data() + der.size()) {
    ADD_FAILURE() << "not one DER SEQUENCE: " << to_hex(der);
    return {};
  }
  std::vector<Element> elements;
  const unsigned char* end = p + length;
  while (p < end) {
    long element_length = 0;
    if (ASN1_get_object(&p, &element_length, &tag, &cls, end - p) != V_ASN1_CONSTRUCTED) {
      ADD_FAILURE() << "element " << elements.size() << " is not a constructed TLV";
      break;
    }
    EXPECT_EQ(cls, V_ASN1_CONTEXT_SPECIFIC);
    const unsigned char* inner = p;
    long inner_length = 0;
    int inner_tag = 0;
    int inner_cls = 0;
    if ((ASN1_get_object(&inner, &inner_length, &inner_tag, &inner_cls, element_length) & 0x80) != 0 ||
        inner + inner_length != p + element_length) {
      ADD_FAILURE() << "element " << elements.size() << " does not hold exactly one TLV";
      break;
    }
    EXPECT_EQ(inner_cls, V_ASN1_UNIVERSAL);
    elements.push_back({tag, inner_tag, Bytes(inner, inner + inner_length)});
    p += element_length;
  }
  return elements;
}

// The value of a DER INTEGER's content, through OpenSSL (which refuses
// non-minimal encodings).
long integer_value(const Bytes& content) {
  const Bytes der = cat({hex("02"), asn1::encode_length(content.size()), content});
  const unsigned char* p = der.data();
  ASN1_INTEGER* integer = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size()));
  if (integer == nullptr) {
    ADD_FAILURE() << "not a DER INTEGER: " << to_hex(der);
    return -1;
  }
  const long value = ASN1_INTEGER_get(integer);
  ASN1_INTEGER_free(integer);
  return value;
}

// The fields of an error response read back by OpenSSL's DER parser, element
// by element: [0] version 3390, [1] SEQUENCE { context-tagged INTEGERs },
// each further element's tag and content. Returns the error's fields as
// (tag, value) pairs.
std::vector<std::pair<int, long>> read_error(const Bytes& response, std::vector<Element>* rest = nullptr) {
  const auto elements = read_elements(response);
  if (elements.size() < 2) {
    ADD_FAILURE() << "fewer than two elements: " << to_hex(response);
    return {};
  }
  EXPECT_EQ(elements[0].tag, 0);
  EXPECT_EQ(elements[0].inner_tag, V_ASN1_INTEGER);
  EXPECT_EQ(integer_value(elements[0].content), 3390);
  EXPECT_EQ(elements[1].tag, 1);
  EXPECT_EQ(elements[1].inner_tag, V_ASN1_SEQUENCE);
  std::vector<std::pair<int, long>> fields;
  for (const auto& field : read_elements(cat({hex("30"), asn1::encode_length(elements[1].content.size()),
                                              elements[1].content}))) {
    EXPECT_EQ(field.inner_tag, V_ASN1_INTEGER);
    fields.emplace_back(field.tag, integer_value(field.content));
  }
  if (rest) rest->assign(elements.begin() + 2, elements.end());
  else EXPECT_EQ(elements.size(), 2u);
  return fields;
}

using Fields = std::vector<std::pair<int, long>>;

TEST(Responses, ErrorResponseParsesAsDer) {
  for (const std::uint16_t status : {400, 500, 0, 127, 128, 0x7FFF, 0x8000, 0xFFFF}) {
    SCOPED_TRACE(status);
    EXPECT_EQ(read_error(rdcleanpath::create_error_response(status)), (Fields{{0, 1}, {1, status}}));
  }
  // [2] wsa_last_error and [3] tls_alert_code, each alone and together.
  for (const std::uint16_t wsa : {10060, 10061, 10065, 11001, 11002, 8, 0x7F, 0x80, 0xFFFF}) {
    SCOPED_TRACE(wsa);
    EXPECT_EQ(read_error(rdcleanpath::create_error_response({500, wsa, {}})), (Fields{{0, 1}, {1, 500}, {2, wsa}}));
  }
  for (const int alert : {0, 40, 70, 112, 127, 128, 255}) {
    SCOPED_TRACE(alert);
    const auto tls_alert = static_cast<std::uint8_t>(alert);
    EXPECT_EQ(read_error(rdcleanpath::create_error_response({500, {}, tls_alert})),
              (Fields{{0, 1}, {1, 500}, {3, alert}}));
    EXPECT_EQ(read_error(rdcleanpath::create_error_response({500, 10054, tls_alert})),
              (Fields{{0, 1}, {1, 500}, {2, 10054}, {3, alert}}));
  }
}

// error_code 2 without an HTTP status, then [6] OCTET STRING: the reply.
TEST(Responses, NegotiationErrorParsesAsDer) {
  for (const Bytes& reply : {hex("03 00 00 13 0E D0 00 00 00 00 00 03 00 08 00 05 00 00 00"), repeat(0x03, 200), Bytes{}}) {
    SCOPED_TRACE(reply.size());
    std::vector<Element> rest;
    EXPECT_EQ(read_error(rdcleanpath::create_negotiation_error_response(reply), &rest), (Fields{{0, 2}}));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].tag, 6);
    EXPECT_EQ(rest[0].inner_tag, V_ASN1_OCTET_STRING);
    EXPECT_EQ(rest[0].content, reply);
  }
}

TEST(Preconnection, PduBytes) {
  // cbSize, Flags 0, Version 2, Id 0, cchPCB (with the NUL), UTF-16LE text, NUL.
  EXPECT_EQ(to_hex(*preconnection::create_pdu("vm1")),
            "1A 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 04 00 76 00 6D 00 31 00 00 00");
  // ä and € are one unit each; 😀 (U+1F600) is a surrogate pair, two units.
  EXPECT_EQ(to_hex(*preconnection::create_pdu("vm-\u00E4\u20AC\U0001F600")),
            "22 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 08 00 "
            "76 00 6D 00 2D 00 E4 00 AC 20 3D D8 00 DE 00 00");
  // Invalid UTF-8 (a stray continuation byte, a truncated sequence) is sent as U+FFFD.
  EXPECT_EQ(to_hex(*preconnection::create_pdu("\x80" "a\xE2\x82")),
            "1A 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 04 00 FD FF 61 00 FD FF 00 00");

  // cchPCB holds at most 65,535 units, one of them the NUL.
  std::string longest;
  for (int i = 0; i < 32767; ++i) longest += "\U0001F600";
  const auto fits = preconnection::create_pdu(longest);
  ASSERT_TRUE(fits);
  ASSERT_EQ(fits->size(), 18u + 2 * 65535);
  EXPECT_EQ(to_hex(Bytes(fits->begin(), fits->begin() + 4)), "10 00 02 00");  // 18 + 2 × 65,535
  EXPECT_EQ(to_hex(Bytes(fits->begin() + 16, fits->begin() + 18)), "FF FF");
  const auto too_long = preconnection::create_pdu(longest + "a");
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().message, "preconnection_blob 过长: 65535 个 UTF-16 码元 (上限 65534)");
  EXPECT_FALSE(preconnection::create_pdu(std::string(65535, 'a')));
  EXPECT_TRUE(preconnection::create_pdu(std::string(65534, 'a')));

  // The limit is checked on a count made without converting; it agrees with the conversion.
  for (const Bytes& text : {hex("80 61 E2 82"), hex("F0 9F 98 80 F0 9F 98"), hex("ED A0 80 F4 90 80 80 C0 AF"),
                            hex("\"vm-\" C3 A4 E2 82 AC F0 9F 98 80")}) {
    EXPECT_EQ(utf16_length(text), utf16_from_utf8(text).size()) << to_hex(text);
  }
}

TEST(X224, NegotiationFailure) {
  const struct {
    const char* name;
    Bytes packet;
    std::optional<std::uint32_t> failure;
  } cases[] = {
      {"HYBRID_REQUIRED_BY_SERVER", hex("03 00 00 13 0E D0 00 00 00 00 00 03 00 08 00 05 00 00 00"), 5},
      {"code in all four octets", hex("03 00 00 13 0E D0 12 34 00 00 00 03 00 08 00 04 03 02 01"), 0x01020304},
      {"user data after the header", hex("03 00 00 15 0E D0 00 00 00 00 00 03 00 08 00 01 00 00 00 AA BB"), 1},
      {"a negotiation response", hex("03 00 00 13 0E D0 00 00 12 34 00 02 1F 08 00 02 00 00 00"), std::nullopt},
      {"no negotiation data", hex("03 00 00 0B 06 D0 00 00 12 34 00"), std::nullopt},
      {"cut short after the type", hex("03 00 00 0C 07 D0 00 00 00 00 00 03"), std::nullopt},
      {"cut short inside the code", hex("03 00 00 12 0D D0 00 00 00 00 00 03 00 08 00 05 00 00"), std::nullopt},
      {"header shorter than the structure", hex("03 00 00 13 06 D0 00 00 00 00 00 03 00 08 00 05 00 00 00"),
       std::nullopt},
      {"length indicator past the packet", hex("03 00 00 13 0F D0 00 00 00 00 00 03 00 08 00 05 00 00 00"),
       std::nullopt},
      {"a Connection Request", hex("03 00 00 13 0E E0 00 00 00 00 00 03 00 08 00 05 00 00 00"), std::nullopt},
      {"length 9", hex("03 00 00 13 0E D0 00 00 00 00 00 03 00 09 00 05 00 00 00"), std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(x224::negotiation_failure(c.packet), c.failure) << c.name;
  EXPECT_EQ(x224::describe_failure(5), "HYBRID_REQUIRED_BY_SERVER (failureCode 5)");
  EXPECT_EQ(x224::describe_failure(1), "SSL_REQUIRED_BY_SERVER (failureCode 1)");
  EXPECT_EQ(x224::describe_failure(6), "SSL_WITH_USER_AUTH_REQUIRED_BY_SERVER (failureCode 6)");
  EXPECT_EQ(x224::describe_failure(0), "failureCode 0");
  EXPECT_EQ(x224::describe_failure(7), "failureCode 7");
}

// The success response read back by OpenSSL's DER parser, element by element.
TEST(Responses, SuccessResponseParsesAsDer) {
  const Bytes x224 = hex("03 00 00 13 0E D0 00 00 12 34 00 02 1F 08 00 02 00 00 00");
  const std::vector<Bytes> chain = {repeat(0xAB, 300), rdcleanpath::fallback_test_certificate_der()};
  const auto elements = read_elements(rdcleanpath::create_success_response("[::1]:3389", x224, chain));
  ASSERT_EQ(elements.size(), 4u);
  const auto content = [&](std::size_t i) { return std::make_pair(elements[i].tag, elements[i].content); };
  EXPECT_EQ(content(0), std::make_pair(0, hex("0D 3E")));
  EXPECT_EQ(content(1), std::make_pair(6, x224));
  EXPECT_EQ(content(3), std::make_pair(9, text("[::1]:3389")));

  // [7]: SEQUENCE OF OCTET STRING, in order.
  EXPECT_EQ(elements[2].tag, 7);
  const unsigned char* q = elements[2].content.data();
  const unsigned char* q_end = q + elements[2].content.size();
  for (const auto& cert : chain) {
    ASN1_OCTET_STRING* s = d2i_ASN1_OCTET_STRING(nullptr, &q, q_end - q);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s)), cert);
    ASN1_OCTET_STRING_free(s);
  }
  EXPECT_EQ(q, q_end);
}

}  // namespace
}  // namespace quillgate
