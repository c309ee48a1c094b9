#include "utf8.hpp"

namespace quillgate {
namespace {

struct Lead {
  int length;           // total sequence length, 0 for a byte that cannot start one
  std::uint8_t low;     // allowed range of the second byte; the rest are 80..BF
  std::uint8_t high;
};

Lead classify(std::uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};  // excludes surrogates
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

// Length of the valid sequence at i, or -(length of the maximal invalid
// subpart) when the bytes at i do not form one.
long sequence_at(std::span<const std::uint8_t> s, std::size_t i) {
  const Lead lead = classify(s[i]);
  if (lead.length == 0) return -1;
  std::size_t j = i + 1;
  for (int k = 1; k < lead.length; ++k, ++j) {
    const std::uint8_t lo = k == 1 ? lead.low : 0x80;
    const std::uint8_t hi = k == 1 ? lead.high : 0xBF;
    if (j >= s.size() || s[j] < lo || s[j] > hi) return -static_cast<long>(j - i);
  }
  return lead.length;
}

}  // namespace

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] < 0x80) {
      out.push_back(static_cast<char>(bytes[i++]));
      continue;
    }
    const long n = sequence_at(bytes, i);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), static_cast<std::size_t>(n));
      i += static_cast<std::size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

std::u16string utf16_from_utf8(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    const long n = sequence_at(bytes, i);
    if (n < 0) {
      out.push_back(u'\uFFFD');
      i += static_cast<std::size_t>(-n);
      continue;
    }
    // The lead byte's payload bits, then six from each continuation byte.
    char32_t c = bytes[i] & (0x7F >> n);
    for (long k = 1; k < n; ++k) c = (c << 6) | (bytes[i + k] & 0x3F);
    i += static_cast<std::size_t>(n);
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return out;
}

std::size_t utf16_length(std::span<const std::uint8_t> bytes) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const long n = bytes[i] < 0x80 ? 1 : sequence_at(bytes, i);
    i += static_cast<std::size_t>(n < 0 ? -n : n);
    units += n == 4 ? 2 : 1;  // only four-byte sequences lie beyond U+FFFF
  }
  return units;
}

bool utf8_valid(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const long n = sequence_at(bytes, i);
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quillgate
