#pragma once

#include <cstdint>
#include <span>
#include <vector>

// DER primitives for the few universal types the gateway writes.
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

}  // namespace quillgate::asn1
