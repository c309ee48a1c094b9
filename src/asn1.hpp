#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// DER primitives for the few universal types the gateway writes, and a
// reader for one TLV.
namespace quillgate::asn1 {

using Bytes = std::vector<std::uint8_t>;

// Appends the DER length octets for n.
void append_length(Bytes& out, std::uint64_t n);
// Appends tag, DER length and content.
void append_tlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> content);

Bytes encode_length(std::uint64_t n);
Bytes encode_sequence(std::span<const std::uint8_t> content);
Bytes encode_octet_string(std::span<const std::uint8_t> content);

// Number of octets encode_length(n) produces.
std::size_t length_size(std::uint64_t n);

// One TLV read from the start of some bytes.
struct Tlv {
  std::uint8_t tag;
  std::span<const std::uint8_t> value;
  std::size_t size;  // tag, length octets and value
};

// How many long-form length octets a reader takes: one to eight (no length
// needs more), or one to 127 of which only the last eight count (the lenient
// RDCleanPath request decoder).
enum class LengthOctets { up_to_eight, last_eight_count };

// The TLV at the start of `data`: a one-byte tag and a definite length, in
// the short form or the long form (leading zeros accepted). nullopt when the
// header is malformed or the header or the value runs past `data`; nothing
// beyond `data` is ever read.
std::optional<Tlv> read_tlv(std::span<const std::uint8_t> data, LengthOctets rule = LengthOctets::up_to_eight);

}  // namespace quillgate::asn1
