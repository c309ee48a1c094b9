#pragma once

#include <chrono>
#include <cstdint>

namespace quillgate::proxy {

// Milliseconds since the Unix epoch on the wall clock; 0 when the clock reads
// before the epoch.
inline std::int64_t wall_clock_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
}

}  // namespace quillgate::proxy
