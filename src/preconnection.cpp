#include "preconnection.hpp"

#include <string>

#include "utf8.hpp"

namespace quillgate::preconnection {
namespace {

constexpr std::uint32_t version_2 = 2;
constexpr std::size_t header_size = 18;

void append_le(asn1::Bytes& out, std::uint32_t value, int octets) {
  for (int i = 0; i < octets; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

Expected<asn1::Bytes> create_pdu(std::string_view text) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  // Counted before anything is made: the text may be as large as a message.
  if (const std::size_t length = utf16_length(bytes); length > max_text_units) {
    return Error{"preconnection_blob 过长: " + std::to_string(length) + " 个 UTF-16 码元 (上限 " +
                 std::to_string(max_text_units) + ")"};
  }
  const std::u16string units = utf16_from_utf8(bytes);
  const auto count = static_cast<std::uint32_t>(units.size() + 1);
  asn1::Bytes pdu;
  pdu.reserve(header_size + 2 * count);
  append_le(pdu, static_cast<std::uint32_t>(header_size + 2 * count), 4);  // cbSize
  append_le(pdu, 0, 4);                                                     // Flags
  append_le(pdu, version_2, 4);                                             // Version
  append_le(pdu, 0, 4);                                                     // Id
  append_le(pdu, count, 2);                                                 // cchPCB
  for (const char16_t unit : units) append_le(pdu, unit, 2);
  append_le(pdu, 0, 2);
  return pdu;
}

}  // namespace quillgate::preconnection
