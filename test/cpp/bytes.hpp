#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace quillgate::test {

using Bytes = std::vector<std::uint8_t>;

// "30 28 A0 04" -> bytes; text in quotes is taken verbatim: "\"abc\" 00".
inline Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == ' ') {
      ++i;
    } else if (c == '"') {
      const auto end = text.find('"', i + 1);
      out.insert(out.end(), text.begin() + i + 1, text.begin() + end);
      i = end + 1;
    } else {
      out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
      i += 2;
    }
  }
  return out;
}

inline Bytes repeat(std::uint8_t byte, std::size_t n) { return Bytes(n, byte); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::string to_hex(const Bytes& bytes) {
  std::ostringstream s;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    static const char* digits = "0123456789ABCDEF";
    if (i) s << ' ';
    s << digits[bytes[i] >> 4] << digits[bytes[i] & 15];
  }
  return s.str();
}

}  // namespace quillgate::test
