#include "rdcleanpath.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace quillgate::rdcleanpath {
namespace {

using Span = std::span<const std::uint8_t>;

// The value of the TLV at the start of `data`, if it lies wholly inside it.
// Lengths are read leniently: any number of long-form octets, the last eight
// counting.
std::optional<Span> read_value(Span data) {
  const auto tlv = asn1::read_tlv(data, asn1::LengthOctets::last_eight_count);
  if (!tlv) return std::nullopt;
  return tlv->value;
}

// The content of an inner universal TLV with the given tag (explicit tagging).
std::optional<Span> inner_value(Span value, std::uint8_t tag) {
  if (value.empty() || value[0] != tag) return std::nullopt;
  return read_value(value);
}

void append_context(Bytes& out, std::uint8_t tag_number, std::size_t inner_size) {
  out.push_back(static_cast<std::uint8_t>(0xA0 | tag_number));
  asn1::append_length(out, inner_size);
}

std::size_t tlv_size(std::size_t content) { return 1 + asn1::length_size(content) + content; }

// [0] INTEGER version, the first element of every response.
constexpr std::uint8_t version_element[] = {0xA0, 0x04, 0x02, 0x02, 0x0D, 0x3E};
static_assert(version == 0x0D3E);

// Appends [tag_number] { INTEGER value }, the INTEGER in the fewest octets
// (a leading zero only where the top bit would otherwise make it negative).
void append_integer_element(Bytes& out, std::uint8_t tag_number, std::uint16_t value) {
  const std::uint8_t octets[3] = {0, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  std::size_t start = 0;
  while (start < 2 && octets[start] == 0 && octets[start + 1] < 0x80) ++start;
  const std::span<const std::uint8_t> content(octets + start, 3 - start);
  append_context(out, tag_number, tlv_size(content.size()));
  asn1::append_tlv(out, 0x02, content);
}

}  // namespace

Expected<RdCleanPathRequest> parse_request(Span bytes) {
  if (bytes.size() < 2 || bytes[0] != 0x30) return Error{std::string(invalid_sequence_message)};
  const auto content = read_value(bytes);
  if (!content) return Error{std::string(invalid_sequence_message)};
  if (content->empty()) return Error{std::string(missing_destination_message)};

  std::optional<std::string> destination;
  std::optional<Bytes> x224;
  std::optional<std::string> blob;
  Span rest = *content;
  while (rest.size() >= 2) {
    const auto value = read_value(rest);
    if (!value) break;  // malformed element: the scan ends quietly
    const std::uint8_t tag = rest[0];
    rest = rest.subspan(static_cast<std::size_t>(value->data() - rest.data()) + value->size());
    if (value->empty()) continue;

    // Texts are decoded only when short: invalid bytes take three each once
    // replaced, and a message may be 64 MiB. A blob is kept as it came (its
    // PDU is made only if it fits one, counted first).
    switch (tag) {
      case 0xA1:
        if (value->size() <= max_destination_size) destination = utf8_lossy(*value);
        break;
      case 0xA2:
        // Any name a user types: `DC01` and `localhost` as well as `host:port`.
        if (const auto text = inner_value(*value, 0x0C);
            text && !text->empty() && text->size() <= max_destination_size) {
          destination = utf8_lossy(*text);
        }
        break;
      case 0xA5:
        if (const auto text = inner_value(*value, 0x0C); text && !text->empty()) blob.emplace(text->begin(), text->end());
        break;
      case 0xA6:
        if ((*value)[0] != 0x04) {
          x224.emplace(value->begin(), value->end());
        } else if (const auto pdu = inner_value(*value, 0x04)) {
          x224.emplace(pdu->begin(), pdu->end());
        }
        break;
      default:
        break;
    }
  }

  // An empty [1] value is skipped and an empty [2] text ignored; still, never
  // hand back an empty destination.
  if (!destination || destination->empty()) return Error{std::string(missing_destination_message)};
  return RdCleanPathRequest{std::move(*destination), std::move(x224), std::move(blob)};
}

Bytes create_error_response(const ErrorDetails& details) {
  Bytes error;
  error.reserve(24);
  append_integer_element(error, 0, general_error);
  append_integer_element(error, 1, details.http_status);
  if (details.wsa_error) append_integer_element(error, 2, *details.wsa_error);
  if (details.tls_alert) append_integer_element(error, 3, *details.tls_alert);
  Bytes body(std::begin(version_element), std::end(version_element));
  append_context(body, 1, tlv_size(error.size()));
  asn1::append_tlv(body, 0x30, error);
  return asn1::encode_sequence(body);
}

Bytes create_negotiation_error_response(Span x224_reply) {
  Bytes error;
  append_integer_element(error, 0, negotiation_error);
  Bytes body(std::begin(version_element), std::end(version_element));
  body.reserve(body.size() + 16 + x224_reply.size());
  append_context(body, 1, tlv_size(error.size()));
  asn1::append_tlv(body, 0x30, error);
  append_context(body, 6, tlv_size(x224_reply.size()));
  asn1::append_tlv(body, 0x04, x224_reply);
  return asn1::encode_sequence(body);
}

Bytes create_success_response(std::string_view server_address, Span x224_response,
                              std::span<const Bytes> certificate_chain) {
  std::size_t body = sizeof version_element;
  const std::size_t x224_inner = tlv_size(x224_response.size());
  if (!x224_response.empty()) body += tlv_size(x224_inner);
  std::size_t chain_content = 0;
  for (const auto& cert : certificate_chain) chain_content += tlv_size(cert.size());
  const std::size_t chain_inner = tlv_size(chain_content);
  if (!certificate_chain.empty()) body += tlv_size(chain_inner);
  const std::size_t address_inner = tlv_size(server_address.size());
  body += tlv_size(address_inner);

  Bytes out;
  out.reserve(tlv_size(body));
  out.push_back(0x30);
  asn1::append_length(out, body);
  out.insert(out.end(), std::begin(version_element), std::end(version_element));
  if (!x224_response.empty()) {
    append_context(out, 6, x224_inner);
    asn1::append_tlv(out, 0x04, x224_response);
  }
  if (!certificate_chain.empty()) {
    append_context(out, 7, chain_inner);
    out.push_back(0x30);
    asn1::append_length(out, chain_content);
    for (const auto& cert : certificate_chain) asn1::append_tlv(out, 0x04, cert);
  }
  append_context(out, 9, address_inner);
  asn1::append_tlv(out, 0x0C,
                   {reinterpret_cast<const std::uint8_t*>(server_address.data()), server_address.size()});
  return out;
}

Bytes fallback_test_certificate_der() {
  static constexpr std::uint8_t der[32] = {
      0x30, 0x82, 0x01, 0x00, 0x30, 0x81, 0xFC, 0x02, 0x01, 0x01, 0x02, 0x08, 0x01, 0x02, 0x03, 0x04,
      0x05, 0x06, 0x07, 0x08, 0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
  return Bytes(std::begin(der), std::end(der));
}

}  // namespace quillgate::rdcleanpath
