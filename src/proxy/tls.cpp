#include "proxy/tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <mutex>

#include "proxy/server_leg.hpp"
#include "proxy/system.hpp"
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
  // Read whatever the socket holds rather than a record header and then its
  // body: half the read calls when relaying.
  SSL_CTX_set_read_ahead(ctx, 1);
  // Room for several records per read call when the server streams; the
  // buffer is given back whenever it empties (SSL_MODE_RELEASE_BUFFERS).
  SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
  // No trust store is loaded: verification is off, so it would never be
  // read, and loading it opens the CA bundle without close-on-exec.
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_set_cipher_list(ctx, cipher_list) != 1) {
    error = take_openssl_error("TLS client configuration failed");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// The client context every connection's TLS session is made from. Its
// settings are the same for every connection and it holds no per-connection
// state (client-side session caching is off), so it is built once rather
// than blocking a worker thread per connection. A failed build is not kept; the next
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

boost::system::error_code ssl_failure(int ssl_error, int sys_errno) {
  switch (ssl_error) {
    case SSL_ERROR_ZERO_RETURN:
      return asio::error::eof;
    case SSL_ERROR_SYSCALL: {
      const unsigned long code = ERR_get_error();
      if (code != 0) return {static_cast<int>(code), asio::error::get_ssl_category()};
      if (sys_errno != 0) return {sys_errno, asio::error::get_system_category()};
      return asio::ssl::error::stream_truncated;
    }
    case SSL_ERROR_SSL: {
      const unsigned long code = ERR_get_error();
      if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return asio::ssl::error::stream_truncated;
      if (code != 0) return {static_cast<int>(code), asio::error::get_ssl_category()};
      return asio::ssl::error::unspecified_system_error;
    }
    default:
      return asio::ssl::error::unspecified_system_error;
  }
}

// The alert that ended the handshake, when the server sent one: OpenSSL
// reports a received fatal alert as the error whose reason is
// SSL_AD_REASON_OFFSET plus the alert's description (SSL_R_SSLV3_ALERT_*,
// SSL_R_TLSV1_ALERT_*); alerts it sends itself have reasons of their own.
std::optional<std::uint8_t> received_alert(const boost::system::error_code& ec) {
  if (ec.category() != asio::error::get_ssl_category()) return std::nullopt;
  const unsigned long code = static_cast<unsigned int>(ec.value());
  if (ERR_SYSTEM_ERROR(code) || ERR_GET_LIB(code) != ERR_LIB_SSL) return std::nullopt;
  const int reason = ERR_GET_REASON(code);
  if (reason < SSL_AD_REASON_OFFSET || reason > SSL_AD_REASON_OFFSET + 255) return std::nullopt;
  return static_cast<std::uint8_t>(reason - SSL_AD_REASON_OFFSET);
}

}  // namespace

asio::awaitable<boost::system::error_code> TlsStream::retry_after(int ssl_error, int sys_errno) {
  using tcp = asio::ip::tcp;
  if (ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE) {
    const auto wait = ssl_error == SSL_ERROR_WANT_READ ? tcp::socket::wait_read : tcp::socket::wait_write;
    auto [ec] = co_await socket_.async_wait(wait, asio::as_tuple(asio::use_awaitable));
    co_return ec;
  }
  auto failure = ssl_failure(ssl_error, sys_errno);
  ERR_clear_error();
  co_return failure;
}

asio::awaitable<boost::system::error_code> TlsStream::handshake() {
  for (;;) {
    if (closed()) co_return asio::error::operation_aborted;
    ERR_clear_error();
    os::clear_socket_error();
    const int rc = SSL_connect(ssl_.get());
    if (rc == 1) co_return boost::system::error_code();
    const int sys_errno = os::last_socket_error();
    if (auto ec = co_await retry_after(SSL_get_error(ssl_.get(), rc), sys_errno)) co_return ec;
  }
}

asio::awaitable<std::pair<boost::system::error_code, std::size_t>> TlsStream::read_some(std::uint8_t* data,
                                                                                       std::size_t size) {
  for (;;) {
    auto result = read_now(data, size);
    if (result.first != asio::error::would_block) co_return result;
    auto [ec] = co_await socket_.async_wait(read_waits_for_, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return std::pair{ec, std::size_t{0}};
  }
}

std::pair<boost::system::error_code, std::size_t> TlsStream::read_now(std::uint8_t* data, std::size_t size) {
  if (closed()) return {asio::error::operation_aborted, 0};
  ERR_clear_error();
  os::clear_socket_error();
  std::size_t n = 0;
  const int rc = SSL_read_ex(ssl_.get(), data, size, &n);
  if (rc == 1) return {boost::system::error_code(), n};
  const int sys_errno = os::last_socket_error();
  const int ssl_error = SSL_get_error(ssl_.get(), rc);
  if (ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE) {
    read_waits_for_ = ssl_error == SSL_ERROR_WANT_READ ? asio::socket_base::wait_read : asio::socket_base::wait_write;
    return {asio::error::would_block, 0};
  }
  auto failure = ssl_failure(ssl_error, sys_errno);
  ERR_clear_error();
  return {failure, 0};
}

asio::awaitable<boost::system::error_code> TlsStream::write_all(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    if (closed()) co_return asio::error::operation_aborted;
    ERR_clear_error();
    os::clear_socket_error();
    std::size_t n = 0;
    const int rc = SSL_write_ex(ssl_.get(), data, size, &n);
    if (rc == 1) {
      data += n;
      size -= n;
      continue;
    }
    const int sys_errno = os::last_socket_error();
    if (auto ec = co_await retry_after(SSL_get_error(ssl_.get(), rc), sys_errno)) co_return ec;
  }
  co_return boost::system::error_code();
}

asio::awaitable<boost::system::error_code> TlsStream::shutdown() {
  for (;;) {
    if (closed()) co_return asio::error::operation_aborted;
    ERR_clear_error();
    os::clear_socket_error();
    // 0: ours is sent and the server's has not come yet, which the reads see.
    const int rc = SSL_shutdown(ssl_.get());
    if (rc >= 0) break;
    const int sys_errno = os::last_socket_error();
    const int ssl_error = SSL_get_error(ssl_.get(), rc);
    // Only a full socket is waited for; anything else (a handshake message
    // still to be read first) leaves the end of stream to TCP alone.
    if (ssl_error != SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      break;
    }
    if (auto ec = co_await retry_after(ssl_error, sys_errno)) co_return ec;
  }
  boost::system::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  co_return ec;
}

void TlsStream::close() {
  boost::system::error_code ignored;
  socket_.close(ignored);
}

asio::awaitable<boost::system::error_code> TlsStream::wait_readable() {
  if (closed()) co_return asio::error::operation_aborted;
  if (has_pending()) co_return boost::system::error_code();
  auto [ec] = co_await socket_.async_wait(asio::ip::tcp::socket::wait_read, asio::as_tuple(asio::use_awaitable));
  co_return ec;
}

asio::awaitable<TlsUpgrade> upgrade_to_tls(asio::ip::tcp::socket server, const std::string& host) {
  TlsUpgrade result;
  std::string error;
  SSL_CTX* context = client_context(error);
  SSL* ssl = context ? SSL_new(context) : nullptr;
  if (!ssl) {
    result.failure = TlsUpgrade::Failure::context;
    result.error = context ? take_openssl_error("SSL_new failed") : std::move(error);
    co_return result;
  }
  boost::system::error_code ec;
  server.native_non_blocking(true, ec);
  // A Windows SOCKET fits in an int: OpenSSL takes it as one on every system.
  const int fd = static_cast<int>(server.native_handle());
  TlsStream stream(std::move(server), ssl);
  // Partial writes let a large message go out record by record; the buffer
  // may move between retries; idle connections give their record buffers back.
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  if (ec || SSL_set_fd(ssl, fd) != 1) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = ec ? ec.message() : take_openssl_error("SSL_set_fd failed");
    co_return result;
  }
  SSL_set_connect_state(ssl);
  if (!is_ip_literal(host) && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = take_openssl_error("invalid server name");
    co_return result;
  }
  if (auto failure = co_await stream.handshake()) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = failure.message();
    result.alert = received_alert(failure);
    co_return result;
  }
  result.certificate = peer_certificate_der(ssl);
  result.stream.emplace(std::move(stream));
  co_return result;
}

}  // namespace quillgate::proxy
