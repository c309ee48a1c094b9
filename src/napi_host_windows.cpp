#include <windows.h>

#include <mutex>
#include <string>

#include "napi_host.hpp"

// node_api.h declares each function __declspec(dllimport): a call goes
// through a pointer named __imp_<function>, which an import library would
// have the loader fill from a named DLL. These pointers are that table,
// filled from the host executable instead. A Node-API call added to the
// binding and missing here fails to link.
#define QUILLGATE_NAPI_FUNCTIONS(X) \
  X(napi_create_array_with_length)  \
  X(napi_create_error)              \
  X(napi_create_function)           \
  X(napi_create_int64)              \
  X(napi_create_object)             \
  X(napi_create_string_utf8)        \
  X(napi_create_uint32)             \
  X(napi_get_boolean)               \
  X(napi_get_undefined)             \
  X(napi_set_element)               \
  X(napi_set_named_property)        \
  X(napi_throw)                     \
  X(napi_throw_error)

extern "C" {
#define QUILLGATE_SLOT(name) FARPROC __imp_##name = nullptr;
QUILLGATE_NAPI_FUNCTIONS(QUILLGATE_SLOT)
#undef QUILLGATE_SLOT
}

namespace quillgate::napi_host {
namespace {

struct Entry {
  const char* name;
  FARPROC* slot;
};

constexpr Entry table[] = {
#define QUILLGATE_ENTRY(name) {#name, &__imp_##name},
    QUILLGATE_NAPI_FUNCTIONS(QUILLGATE_ENTRY)
#undef QUILLGATE_ENTRY
};

// The first function the host does not export, or nullptr. A module loaded
// by several threads (worker threads) registers once per thread: the table
// is filled once and read only afterwards.
const char* resolve_once() {
  static std::once_flag once;
  static const char* missing = nullptr;
  std::call_once(once, [] {
    const HMODULE host = ::GetModuleHandleW(nullptr);
    for (const Entry& entry : table) {
      *entry.slot = ::GetProcAddress(host, entry.name);
      if (!*entry.slot && !missing) missing = entry.name;
    }
  });
  return missing;
}

}  // namespace

bool bind(napi_env env) {
  const char* missing = resolve_once();
  if (!missing) return true;
  if (__imp_napi_throw_error) {
    const std::string message = std::string("quillgate: the host process does not export the Node-API function ") +
                                missing + "; it cannot load this module";
    napi_throw_error(env, nullptr, message.c_str());
  }
  return false;
}

}  // namespace quillgate::napi_host
