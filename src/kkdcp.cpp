#include "kkdcp.hpp"

#include <string_view>

namespace quillgate::kkdcp {
namespace {

using Span = std::span<const std::uint8_t>;

constexpr std::uint8_t sequence_tag = 0x30;
constexpr std::uint8_t octet_string_tag = 0x04;
constexpr std::uint8_t integer_tag = 0x02;
constexpr std::uint8_t general_string_tag = 0x1B;
constexpr std::uint8_t kerb_message_tag = 0xA0;
constexpr std::uint8_t target_domain_tag = 0xA1;
constexpr std::uint8_t dclocator_hint_tag = 0xA2;

Error fail(std::string_view text) { return Error{std::string(text)}; }

// The content of the one universal TLV that an explicitly tagged element
// holds, or nullopt when the value is not exactly one TLV with `tag`.
std::optional<Span> explicit_content(Span value, std::uint8_t tag) {
  const auto inner = asn1::read_tlv(value);
  if (!inner || inner->tag != tag || inner->size != value.size()) return std::nullopt;
  return inner->value;
}

std::uint32_t big_endian_32(Span bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

}  // namespace

Expected<KdcProxyMessage> parse_kdc_proxy_message(Span bytes) {
  const auto outer = asn1::read_tlv(bytes);
  if (!outer || outer->tag != sequence_tag) return fail("not a DER SEQUENCE");
  if (outer->size != bytes.size()) return fail("bytes after the SEQUENCE");

  std::optional<Span> kerb_message;
  std::optional<std::string> target_domain;
  std::uint8_t last_tag = 0;
  for (Span rest = outer->value; !rest.empty();) {
    const auto element = asn1::read_tlv(rest);
    if (!element) return fail("an element runs past the SEQUENCE");
    rest = rest.subspan(element->size);
    // Each element at most once, in the order of the definition.
    if (element->tag <= last_tag || element->tag > dclocator_hint_tag || element->tag < kerb_message_tag) {
      return fail("unexpected element");
    }
    last_tag = element->tag;
    switch (element->tag) {
      case kerb_message_tag:
        kerb_message = explicit_content(element->value, octet_string_tag);
        if (!kerb_message) return fail("kerb-message is not an OCTET STRING");
        break;
      case target_domain_tag:
        if (const auto realm = explicit_content(element->value, general_string_tag)) {
          target_domain.emplace(realm->begin(), realm->end());
        } else {
          return fail("target-domain is not a GeneralString");
        }
        break;
      default:  // dclocator-hint: checked, not used
        if (const auto hint = explicit_content(element->value, integer_tag); !hint || hint->empty()) {
          return fail("dclocator-hint is not an INTEGER");
        }
        break;
    }
  }
  if (!kerb_message) return fail("no kerb-message");
  if (kerb_message->size() < 4) return fail("kerb-message shorter than its length prefix");
  const std::uint32_t announced = big_endian_32(*kerb_message);
  const std::size_t present = kerb_message->size() - 4;
  if (announced != present) {
    return fail("kerb-message length prefix " + std::to_string(announced) + " does not match its " +
                std::to_string(present) + " bytes");
  }
  if (present == 0) return fail("empty kerb-message");
  return KdcProxyMessage{Bytes(kerb_message->begin(), kerb_message->end()), std::move(target_domain)};
}

Bytes create_kdc_proxy_message(Span kerb_message) {
  Bytes octets;
  octets.reserve(1 + asn1::length_size(kerb_message.size()) + kerb_message.size());
  asn1::append_tlv(octets, octet_string_tag, kerb_message);
  Bytes element;
  element.reserve(1 + asn1::length_size(octets.size()) + octets.size());
  asn1::append_tlv(element, kerb_message_tag, octets);
  return asn1::encode_sequence(element);
}

}  // namespace quillgate::kkdcp
