#pragma once

// What differs between operating systems outside socket set-up: where the
// address functions (inet_pton, getaddrinfo) are declared, where a socket
// call leaves its error, how standard error is written, how a failed lookup
// is described, how many processors the process may run on and how an
// environment variable is read. Header-only and free of Asio, so the pure code
// (the log switch) can use it.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace quillgate::proxy::os {

// Writes a prefix of `text` to standard error; returns its length, or 0 when
// standard error is gone (closed, or no console). Never writes part of a
// character more than once: a retry resumes after the prefix.
inline std::size_t write_stderr_some(std::string_view text) {
#ifdef _WIN32
  // The handle, not the C runtime's descriptor 2: the addon's runtime is not
  // the host's, and only the handle is shared.
  const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  const auto size = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
  if (!::WriteFile(handle, text.data(), size, &written, nullptr)) return 0;
  return written;
#else
  for (;;) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
#endif
}

// The error of the last socket call on this thread, which OpenSSL's socket
// layer leaves where the system puts it: errno, or Winsock's own slot.
inline int last_socket_error() {
#ifdef _WIN32
  return ::WSAGetLastError();
#else
  return errno;
#endif
}

inline void clear_socket_error() {
#ifdef _WIN32
  ::WSASetLastError(0);
#else
  errno = 0;
#endif
}

// The message for a getaddrinfo failure code.
inline std::string lookup_error_text(int rc) {
#ifdef _WIN32
  // Windows' codes are Winsock errors, and its gai_strerror shares one buffer
  // between threads.
  char text[256];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(rc), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                             sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "lookup error " + std::to_string(rc);
#else
  if (rc == EAI_SYSTEM) return std::system_category().message(errno);
  return ::gai_strerror(rc);
#endif
}

// The processors this process may run on (its affinity), at least 1.
inline unsigned processor_count() {
#ifdef _WIN32
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  // The mask covers one processor group: a process on a machine with more
  // than 64 logical processors runs in one group unless it asks otherwise.
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
    return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(process)));
  }
#else
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// The value of the environment variable `name` (ASCII), in UTF-8, or nullopt
// when it is not set. Read from the process's environment as it is now: on
// Windows not through the C runtime's getenv, whose copy of the environment
// (msvcrt's, for a MinGW build) is taken when that runtime starts and misses
// what the host sets later (Node.js's `process.env.X = ...` changes only the
// process's environment block).
inline std::optional<std::string> getenv(const char* name) {
#ifdef _WIN32
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  std::wstring value;
  DWORD size = 0;  // with the terminating null, as the call asks for it
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
    if (n == 0) {
      // Not set, or set to the empty string (the only other way to get 0).
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      value.clear();
      break;
    }
    if (n < size) {  // it fitted: n is its length without the null
      value.resize(n);
      break;
    }
    // Too small (the first call, or another thread lengthened it since): n is
    // the size it needs now.
    size = n;
    value.resize(size);
  }
  if (value.empty()) return std::string();
  const auto wide_size = static_cast<int>(value.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, value.data(), wide_size, nullptr, 0, nullptr, nullptr);
  // A lone surrogate, which UTF-8 cannot hold, comes out as U+FFFD.
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, value.data(), wide_size, out.data(), bytes, nullptr, nullptr);
  return out;
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
#endif
}

}  // namespace quillgate::proxy::os
