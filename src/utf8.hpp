#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillgate {

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
// U+FFFD. Never fails.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

// The text as UTF-16 code units, each maximal invalid subsequence as U+FFFD
// (as utf8_lossy replaces it). Never fails.
std::u16string utf16_from_utf8(std::span<const std::uint8_t> bytes);

// The number of code units utf16_from_utf8 gives, without making them.
std::size_t utf16_length(std::span<const std::uint8_t> bytes);

// True if the bytes are well-formed UTF-8.
bool utf8_valid(std::span<const std::uint8_t> bytes);

}  // namespace quillgate
