#include "asn1.hpp"

namespace quillgate::asn1 {

std::size_t length_size(std::uint64_t n) {
  if (n < 0x80) return 1;
  std::size_t k = 0;
  for (std::uint64_t v = n; v != 0; v >>= 8) ++k;
  return 1 + k;
}

void append_length(Bytes& out, std::uint64_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
    return;
  }
  const std::size_t k = length_size(n) - 1;
  out.push_back(static_cast<std::uint8_t>(0x80 | k));
  for (std::size_t i = k; i-- > 0;) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
}

void append_tlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> content) {
  out.push_back(tag);
  append_length(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

Bytes encode_length(std::uint64_t n) {
  Bytes out;
  append_length(out, n);
  return out;
}

Bytes encode_sequence(std::span<const std::uint8_t> content) {
  Bytes out;
  out.reserve(1 + length_size(content.size()) + content.size());
  append_tlv(out, 0x30, content);
  return out;
}

std::optional<Tlv> read_tlv(std::span<const std::uint8_t> data, LengthOctets rule) {
  if (data.size() < 2) return std::nullopt;
  const std::uint8_t first = data[1];
  std::size_t header = 2;
  std::uint64_t length = first;
  if (first >= 0x80) {
    const std::size_t n = first & 0x7F;
    if (n == 0 || (n > 8 && rule == LengthOctets::up_to_eight) || n > data.size() - 2) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < n; ++i) length = (length << 8) | data[2 + i];
    header += n;
  }
  if (length > data.size() - header) return std::nullopt;
  return Tlv{data[0], data.subspan(header, static_cast<std::size_t>(length)),
             header + static_cast<std::size_t>(length)};
}

Bytes encode_octet_string(std::span<const std::uint8_t> content) {
  Bytes out;
  out.reserve(1 + length_size(content.size()) + content.size());
  append_tlv(out, 0x04, content);
  return out;
}

}  // namespace quillgate::asn1
