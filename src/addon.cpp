// The Node-API binding: four functions that call the service and convert its
// results. Nothing here holds state; no C++ exception leaves a callback.
#include <exception>
#include <string>
#include <string_view>

#include "napi_host.hpp"
#include "proxy/service.hpp"

namespace {

using quillgate::proxy::ConnectionStat;
using quillgate::proxy::StatusSnapshot;

constexpr napi_status generic_failure = napi_generic_failure;  // 9

const char* status_name(napi_status status) {
  static constexpr const char* names[] = {
      "Ok", "InvalidArg", "ObjectExpected", "StringExpected", "NameExpected", "FunctionExpected",
      "NumberExpected", "BooleanExpected", "ArrayExpected", "GenericFailure", "PendingException",
      "Cancelled", "EscapeCalledTwice", "HandleScopeMismatch", "CallbackScopeMismatch",
      "QueueFull", "Closing", "BigintExpected", "DateExpected", "ArrayBufferExpected",
      "DetachableArraybufferExpected", "WouldDeadlock", "NoExternalBuffersAllowed"};
  const auto index = static_cast<unsigned>(status);
  return index >= 1 && index <= 22 ? names[index] : "Unknown";
}

// A failure to hand to JavaScript: a Node-API status and a message.
struct JsError {
  napi_status status;
  std::string message;
};

void throw_error(napi_env env, const JsError& error) {
  if (error.status == napi_pending_exception) return;
  napi_value code;
  napi_value message;
  napi_value object;
  if (napi_create_string_utf8(env, status_name(error.status), NAPI_AUTO_LENGTH, &code) != napi_ok ||
      napi_create_string_utf8(env, error.message.data(), error.message.size(), &message) != napi_ok ||
      napi_create_error(env, code, message, &object) != napi_ok) {
    return;
  }
  napi_throw(env, object);
}

// Builds a result value; each Node-API call that fails throws its status.
class Builder {
 public:
  explicit Builder(napi_env env) : env_(env) {}

  napi_value object() { return make(napi_create_object(env_, &value_)); }
  napi_value array(std::size_t length) { return make(napi_create_array_with_length(env_, length, &value_)); }
  napi_value string(std::string_view s) { return make(napi_create_string_utf8(env_, s.data(), s.size(), &value_)); }
  napi_value uint32(std::uint32_t n) { return make(napi_create_uint32(env_, n, &value_)); }
  napi_value int64(std::int64_t n) { return make(napi_create_int64(env_, n, &value_)); }
  napi_value boolean(bool b) { return make(napi_get_boolean(env_, b, &value_)); }
  napi_value undefined() { return make(napi_get_undefined(env_, &value_)); }

  void set(napi_value object, const char* name, napi_value value) {
    check(napi_set_named_property(env_, object, name, value));
  }
  void set(napi_value array, std::uint32_t index, napi_value value) {
    check(napi_set_element(env_, array, index, value));
  }

 private:
  napi_value make(napi_status status) {
    check(status);
    return value_;
  }
  static void check(napi_status status) {
    if (status != napi_ok) throw JsError{status, "Node-API call failed"};
  }

  napi_env env_;
  napi_value value_ = nullptr;
};

napi_value status_object(Builder& js, const StatusSnapshot& s) {
  napi_value object = js.object();
  js.set(object, "running", js.boolean(s.running));
  if (s.port) js.set(object, "port", js.uint32(*s.port));
  js.set(object, "activeConnections", js.uint32(static_cast<std::uint32_t>(s.active_connections)));
  js.set(object, "totalConnections", js.uint32(static_cast<std::uint32_t>(s.total_connections)));
  if (s.start_time_ms) js.set(object, "startTimeMs", js.int64(*s.start_time_ms));
  return object;
}

napi_value connection_object(Builder& js, const ConnectionStat& c) {
  napi_value object = js.object();
  js.set(object, "connectionId", js.string(c.connection_id));
  js.set(object, "state", js.string(c.state));
  js.set(object, "startTimeMs", js.int64(c.start_time_ms));
  if (c.rdp_host) js.set(object, "rdpHost", js.string(*c.rdp_host));
  if (c.rdp_port) js.set(object, "rdpPort", js.uint32(*c.rdp_port));
  js.set(object, "wsConnected", js.boolean(c.ws_connected));
  js.set(object, "tcpConnected", js.boolean(c.tcp_connected));
  js.set(object, "tlsReady", js.boolean(c.tls_ready));
  return object;
}

// Runs a callback body, turning every failure into a thrown JavaScript error.
template <class Body>
napi_value guarded(napi_env env, Body&& body) {
  try {
    Builder js(env);
    return body(js);
  } catch (const JsError& error) {
    throw_error(env, error);
  } catch (const std::exception& e) {
    throw_error(env, {generic_failure, e.what()});
  } catch (...) {
    throw_error(env, {generic_failure, "unknown failure"});
  }
  return nullptr;
}

napi_value get_status(napi_env env, napi_callback_info) {
  return guarded(env, [](Builder& js) { return status_object(js, quillgate::proxy::get_status_snapshot()); });
}

napi_value stop_proxy(napi_env env, napi_callback_info) {
  return guarded(env, [](Builder& js) {
    if (auto failure = quillgate::proxy::stop_proxy()) throw JsError{generic_failure, std::move(failure->message)};
    return js.undefined();
  });
}

napi_value start_proxy(napi_env env, napi_callback_info) {
  return guarded(env, [](Builder& js) {
    auto port = quillgate::proxy::start_proxy();
    if (!port) throw JsError{generic_failure, port.error().message};
    return js.uint32(*port);
  });
}

napi_value get_connection_stats(napi_env env, napi_callback_info) {
  return guarded(env, [](Builder& js) {
    const auto stats = quillgate::proxy::list_connection_stats();
    napi_value array = js.array(stats.size());
    for (std::size_t i = 0; i < stats.size(); ++i) {
      js.set(array, static_cast<std::uint32_t>(i), connection_object(js, stats[i]));
    }
    return array;
  });
}

struct Export {
  const char* js_name;
  const char* binding_name;
  napi_callback callback;
};

constexpr Export exports_table[] = {
    {"getStatus", "get_status", get_status},
    {"stopProxy", "stop_proxy", stop_proxy},
    {"startProxy", "start_proxy", start_proxy},
    {"getConnectionStats", "get_connection_stats", get_connection_stats},
};

}  // namespace

QUILLGATE_MODULE_ENTRY napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  if (!quillgate::napi_host::bind(env)) return nullptr;
  for (const Export& entry : exports_table) {
    napi_value function;
    napi_status status = napi_create_function(env, entry.js_name, NAPI_AUTO_LENGTH, entry.callback, nullptr, &function);
    if (status != napi_ok) {
      throw_error(env, {status, std::string("Failed to register function `") + entry.binding_name + "`"});
      continue;
    }
    status = napi_set_named_property(env, exports, entry.js_name, function);
    if (status != napi_ok) {
      throw_error(env, {status, std::string("Failed to register export `") + entry.js_name + "`"});
    }
  }
  return exports;
}
