#include "proxy/tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <mutex>

#include "proxy/server_leg.hpp"
#include "rdcleanpath.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;

namespace {

constexpr const char* cipher_list = "DEFAULT:!aNULL:!eNULL:!MD5:!3DES:!DES:!RC4:!IDEA:!SEED:!aDSS:!SRP:!PSK";

// Takes the oldest error off OpenSSL's thread-local queue, and clears it.
std::string take_openssl_error(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

SSL_CTX* new_client_context(std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    error = take_openssl_error("SSL_CTX_new failed");
    return nullptr;
  }
  SSL_CTX_set_options(ctx, (SSL_OP_ALL & ~SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS) | SSL_OP_NO_COMPRESSION |
                               SSL_OP_NO_SSLv3);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_default_verify_paths(ctx) != 1 || SSL_CTX_set_cipher_list(ctx, cipher_list) != 1) {
    error = take_openssl_error("TLS client configuration failed");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// The client context every connection's TLS session is made from. Its
// settings are the same for every connection and it holds no per-connection
// state (client-side session caching is off), so it is built once: loading
// the default trust store alone costs about 30 ms, which per connection would
// block a worker thread for that long. A failed build is not kept; the next
// connection tries again. Never freed: connections may outlive every owner.
SSL_CTX* client_context(std::string& error) {
  static std::mutex mutex;
  static SSL_CTX* context = nullptr;
  const std::lock_guard lock(mutex);
  if (!context) {
    // Before OpenSSL's first use: no clean-up at exit, when worker threads
    // of a gateway still running may be inside OpenSSL.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr);
    context = new_client_context(error);
  }
  return context;
}

asn1::Bytes peer_certificate_der(SSL* ssl) {
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (!cert) return rdcleanpath::fallback_test_certificate_der();
  asn1::Bytes der;
  const int length = i2d_X509(cert, nullptr);
  if (length > 0) {
    der.resize(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_X509(cert, &out) != length) der.clear();
  }
  X509_free(cert);
  ERR_clear_error();
  return der.empty() ? rdcleanpath::fallback_test_certificate_der() : der;
}

}  // namespace

asio::awaitable<TlsUpgrade> upgrade_to_tls(asio::ip::tcp::socket server, const std::string& host) {
  TlsUpgrade result;
  std::string error;
  SSL_CTX* native = client_context(error);
  if (!native) {
    result.failure = TlsUpgrade::Failure::context;
    result.error = std::move(error);
    co_return result;
  }
  // The wrapper takes a reference of its own and drops it when it goes; the
  // stream's SSL object keeps another.
  SSL_CTX_up_ref(native);
  asio::ssl::context context(native);
  TlsStream stream(std::move(server), context);
  stream.set_verify_mode(asio::ssl::verify_none);

  if (!is_ip_literal(host) && SSL_set_tlsext_host_name(stream.native_handle(), host.c_str()) != 1) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = take_openssl_error("invalid server name");
    co_return result;
  }
  auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::client, asio::as_tuple(asio::use_awaitable));
  if (ec) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = ec.message();
    co_return result;
  }
  result.certificate = peer_certificate_der(stream.native_handle());
  result.stream.emplace(std::move(stream));
  co_return result;
}

}  // namespace quillgate::proxy
