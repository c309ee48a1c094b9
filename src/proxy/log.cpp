#include "log.hpp"

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "proxy/system.hpp"
#include "utf8.hpp"

namespace quillgate::proxy {
namespace {

// Unicode White_Space code points.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the code point starting at s[i] of valid UTF-8 and its length.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return length = 1, b;
  length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
  char32_t c = b & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return c;
}

// Unicode's bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069): they reorder the text shown after them.
bool is_bidi_control(std::span<const std::uint8_t> s) {
  if (s.size() == 2) return s[0] == 0xD8 && s[1] == 0x9C;
  return s.size() == 3 && s[0] == 0xE2 &&
         ((s[1] == 0x80 && (s[2] == 0x8E || s[2] == 0x8F || (s[2] >= 0xAA && s[2] <= 0xAE))) ||
          (s[1] == 0x81 && s[2] >= 0xA6 && s[2] <= 0xA9));
}

std::mutex& stderr_mutex() {
  static std::mutex mutex;
  return mutex;
}

void write_stderr(std::string_view text) {
  const std::lock_guard lock(stderr_mutex());
  while (!text.empty()) {
    const std::size_t n = os::write_stderr_some(text);
    if (n == 0) return;  // standard error is gone: the line is lost, nothing else is
    text.remove_prefix(n);
  }
}

}  // namespace

bool parse_log_switch(std::optional<std::string_view> raw) {
  if (!raw) return false;
  std::string_view text = *raw;
  if (!utf8_valid({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) return false;

  std::size_t begin = 0;
  std::size_t end = text.size();
  for (std::size_t n; begin < end && is_white_space(decode_at(text, begin, n));) begin += n;
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t n;
    if (!is_white_space(decode_at(text, start, n))) break;
    end = start;
  }
  text = text.substr(begin, end - begin);

  // Full Unicode lower-casing maps no non-ASCII character onto an ASCII letter
  // of "on", "yes" or "true" (only U+212A KELVIN SIGN maps to ASCII at all,
  // to 'k'), so ASCII lower-casing decides every accepted value.
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered == "1" || lowered == "on" || lowered == "yes" || lowered == "true";
}

std::string printable(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  const auto escape = [&](std::uint8_t b) {
    out += "\\x";
    out += hex[b >> 4];
    out += hex[b & 15];
  };
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::uint8_t b = bytes[i];
    if (b < 0x20 || b == 0x7F || b == '\\') {
      escape(b);
      ++i;
      continue;
    }
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    // One UTF-8 sequence, if the bytes at i form one; C1 controls (U+0080..U+009F,
    // C2 80..C2 9F) and bidirectional overrides are escaped byte by byte.
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    if (i + n > bytes.size() || !utf8_valid(bytes.subspan(i, n)) || (b == 0xC2 && bytes[i + 1] < 0xA0) ||
        is_bidi_control(bytes.subspan(i, n))) {
      n = 0;
    }
    if (n == 0) {
      escape(b);
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool log_enabled() {
  static const bool LOG_ENABLED = [] {
    const auto raw = os::getenv("QUILLGATE_LOG");
    return parse_log_switch(raw ? std::optional<std::string_view>(*raw) : std::nullopt);
  }();
  return LOG_ENABLED;
}

void log_line(std::string_view connection_id, std::string_view message) {
  if (!log_enabled()) return;
  std::string line;
  line.reserve(connection_id.size() + message.size() + 4);
  line.append("[").append(connection_id).append("] ").append(message).append("\n");
  write_stderr(line);
}

void log_fatal(std::string_view message) {
  std::string line(message);
  line.push_back('\n');
  write_stderr(line);
}

}  // namespace quillgate::proxy
