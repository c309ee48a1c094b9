#pragma once

// How the binding reaches Node-API in the process that loads it. On Linux
// the dynamic loader binds the napi_* calls to the host's exports. A Windows
// DLL names the module each import comes from, and the host is node.exe, an
// Electron application's own executable or any other embedder: the binding
// imports nothing from it and instead looks the functions up in the host's
// executable when the module registers (napi_host_windows.cpp).
#ifdef _WIN32
// Calls through the __imp_ pointers that napi_host_windows.cpp fills, not
// direct calls (js_native_api.h would otherwise declare the functions
// dllexport).
#define NAPI_EXTERN __declspec(dllimport)
#endif
#include <node_api.h>

#ifdef _WIN32
#define QUILLGATE_MODULE_ENTRY extern "C" __declspec(dllexport)
#else
#define QUILLGATE_MODULE_ENTRY extern "C" __attribute__((visibility("default")))
#endif

namespace quillgate::napi_host {

#ifdef _WIN32
// Finds every Node-API function the binding calls in the host process, once.
// False when one is missing; a JavaScript error naming it is then pending
// if the host at least offers napi_throw_error.
bool bind(napi_env env);
#else
inline bool bind(napi_env) { return true; }
#endif

}  // namespace quillgate::napi_host
