#include "proxy/tls.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <mutex>
#include <new>

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

// The write BIO: appends whatever OpenSSL writes to the stream's outgoing
// buffer (its data pointer), and never refuses, so that OpenSSL never waits
// to write; the stream sends the buffer itself. Out of memory, the write
// fails with an error on OpenSSL's queue, and so does the TLS call that made
// it, as a TLS failure (an empty queue would read as the socket's, or as an
// orderly end): nothing may unwind through OpenSSL.
int append_to_buffer(BIO* bio, const char* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(BIO_get_data(bio));
  if (size <= 0) return 0;
  // As bytes of the buffer's own type: a copy from `char` would go element
  // by element, not as one block.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  try {
    out->insert(out->end(), bytes, bytes + size);
  } catch (const std::bad_alloc&) {
    ERR_raise(ERR_LIB_BIO, ERR_R_MALLOC_FAILURE);
    return -1;
  }
  return size;
}

long buffer_control(BIO*, int command, long, void*) {
  // Flushing means nothing here: the stream sends the buffer when it is done
  // with OpenSSL. Everything else is not supported.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int buffer_created(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* outgoing_buffer_method() {
  static const BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillgate outgoing buffer");
    if (m) {
      BIO_meth_set_write(m, append_to_buffer);
      BIO_meth_set_ctrl(m, buffer_control);
      BIO_meth_set_create(m, buffer_created);
    }
    return m;
  }();
  return method;
}

// An outgoing buffer grown past this (by a large write) is given back once
// sent, rather than kept for the life of the connection.
constexpr std::size_t kept_outgoing_capacity = 4096;

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

// A server that streams sends full records. Once the cipher is known, the
// read buffer is sized to hold four of them, so that a read (OpenSSL reads as
// much as the buffer takes) brings four. OpenSSL reads the rest of a record
// whose header it has with a call of its own: with 64 KiB, which four
// records overrun, that was two reads per four records. Other ciphers (CBC,
// whose records' size depends on the MAC) keep the default. OpenSSL 3.0
// takes the size when it next allocates the buffer, which it gives back
// whenever it empties (SSL_MODE_RELEASE_BUFFERS).
void fit_read_buffer_to_records(SSL* ssl) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  if (!cipher) return;
  const int nid = SSL_CIPHER_get_cipher_nid(cipher);
  const bool gcm = nid == NID_aes_128_gcm || nid == NID_aes_256_gcm;
  if (!gcm && nid != NID_chacha20_poly1305) return;
  // Header and tag; TLS 1.3 adds the content type, TLS 1.2's AES-GCM an
  // explicit nonce (RFC 8446 5.2, RFC 5288 3).
  static_assert(EVP_GCM_TLS_TAG_LEN == EVP_CHACHAPOLY_TLS_TAG_LEN);
  std::size_t overhead = SSL3_RT_HEADER_LENGTH + EVP_GCM_TLS_TAG_LEN;
  if (SSL_version(ssl) == TLS1_3_VERSION) {
    overhead += 1;
  } else if (gcm) {
    overhead += EVP_GCM_TLS_EXPLICIT_IV_LEN;
  }
  // OpenSSL starts the data 3 bytes into the buffer (a block aligned to 8
  // bytes), to align the payload behind the 5-byte header. Past the four
  // records there is room for 4 bytes, less than a header, so the next read
  // still takes as much as the buffer holds (with a whole header there,
  // OpenSSL would read the rest of that record alone), and the buffer, not
  // empty while each read finds four records waiting, is not given back and
  // taken again.
  constexpr std::size_t slack = 3 + 4;
  SSL_set_default_read_buffer_len(ssl, slack + 4 * (SSL3_RT_MAX_PLAIN_LENGTH + overhead));
}

}  // namespace

TlsStream::TlsStream(asio::ip::tcp::socket socket, SSL* ssl)
    : socket_(std::move(socket)),
      flushed_(socket_.get_executor(), asio::steady_timer::time_point::max()),
      read_done_(socket_.get_executor(), asio::steady_timer::time_point::max()),
      ssl_(ssl) {}

boost::system::error_code TlsStream::attach() {
  boost::system::error_code ec;
  // Non-blocking for Asio's own calls too, so that a send never blocks.
  socket_.non_blocking(true, ec);
  if (ec) return ec;
  const BIO_METHOD* method = outgoing_buffer_method();
  BIO* out = method ? BIO_new(method) : nullptr;
  if (!out) return asio::error::no_memory;
  BIO_set_data(out, out_.get());
  SSL_set0_wbio(ssl_.get(), out);
  // A Windows SOCKET fits in an int: OpenSSL takes it as one on every system.
  if (SSL_set_rfd(ssl_.get(), static_cast<int>(socket_.native_handle())) != 1) return asio::error::no_memory;
  return {};
}

asio::awaitable<boost::system::error_code> TlsStream::flush() {
  constexpr auto token = asio::as_tuple(asio::use_awaitable);
  while (flushing_) {
    co_await flushed_.async_wait(token);  // woken when it ends
    if (closed()) co_return asio::error::operation_aborted;
  }
  flushing_ = true;
  boost::system::error_code result;
  // A send of what is there at each step, never an asynchronous write of
  // it: the other direction may add to the buffer, and move it, meanwhile.
  while (sent_ < out_->size()) {
    if (closed()) {
      result = asio::error::operation_aborted;
      break;
    }
    boost::system::error_code ec;
    const std::size_t n = socket_.write_some(asio::buffer(out_->data() + sent_, out_->size() - sent_), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      if (auto [wait_error] = co_await socket_.async_wait(asio::ip::tcp::socket::wait_write, token); wait_error) {
        result = wait_error;
        break;
      }
      continue;
    }
    if (ec) {
      result = ec;
      break;
    }
    sent_ += n;
  }
  if (sent_ == out_->size()) {
    sent_ = 0;
    if (out_->capacity() > kept_outgoing_capacity) {
      std::vector<std::uint8_t>().swap(*out_);
    } else {
      out_->clear();
    }
  }
  flushing_ = false;
  flushed_.cancel();
  co_return result;
}

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
    const int sys_errno = os::last_socket_error();
    const int ssl_error = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), rc);
    // What this step wrote goes out before anything is waited for; an alert
    // after a failure, as far as the socket takes it at once.
    if (ssl_error == SSL_ERROR_NONE || ssl_error == SSL_ERROR_WANT_READ) {
      if (auto ec = co_await flush()) co_return ec;
    } else {
      send_now();
    }
    if (rc == 1) co_return boost::system::error_code();
    if (auto ec = co_await retry_after(ssl_error, sys_errno)) co_return ec;
  }
}

asio::awaitable<std::pair<boost::system::error_code, std::size_t>> TlsStream::read_some(std::uint8_t* data,
                                                                                       std::size_t size) {
  for (;;) {
    auto result = read_now(data, size);
    if (result.first != asio::error::would_block) co_return result;
    // What the read wrote (a renegotiation's handshake message, say) is
    // what the server waits for.
    // A send under way sends it too; waiting for that send to end would
    // keep this read from the server's stream until the server reads.
    if (has_output() && !flushing_) {
      if (auto ec = co_await flush()) co_return std::pair{ec, std::size_t{0}};
    }
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
  read_done_.cancel();  // costs nothing when no write waits
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
  if (size == 0) co_return boost::system::error_code();
  // Every record goes to the outgoing buffer at once, then out together.
  // Room for them all first: growing record by record would copy what the
  // buffer holds again at each step.
  constexpr std::size_t record_overhead = 64;  // header, nonce, tag and padding, with room to spare
  out_->reserve(out_->size() + size + (size / 16384 + 1) * record_overhead);
  for (;;) {
    if (closed()) co_return asio::error::operation_aborted;
    // A renegotiation the server asked for is carried on by reads alone,
    // also its start, which OpenSSL puts off while records are still to be
    // read. The server may send data before its answer to the ClientHello,
    // which a handshake driven by SSL_write takes for an unexpected record
    // and fails the connection over, where SSL_read hands it on. So the
    // write waits for the next read, and tries again; the ClientHello a read
    // wrote goes first, even while the reads wait for the client.
    if (renegotiating()) {
      if (auto ec = co_await wait_for_read()) co_return ec;
      continue;
    }
    ERR_clear_error();
    os::clear_socket_error();
    std::size_t n = 0;
    const int rc = SSL_write_ex(ssl_.get(), data, size, &n);
    if (rc == 1 && n == size) break;
    const int sys_errno = os::last_socket_error();
    const int ssl_error = SSL_get_error(ssl_.get(), rc);
    if (ssl_error == SSL_ERROR_WANT_READ) {
      // Not met outside a handshake; if it is, the same wait for a read.
      if (auto ec = co_await wait_for_read()) co_return ec;
      continue;
    }
    auto failure = ssl_failure(ssl_error, sys_errno);
    ERR_clear_error();
    co_return failure;
  }
  co_return co_await flush();
}

asio::awaitable<boost::system::error_code> TlsStream::wait_for_read() {
  if (has_output() && !flushing_) {
    if (auto ec = co_await flush()) co_return ec;
  }
  co_await read_done_.async_wait(asio::as_tuple(asio::use_awaitable));
  co_return boost::system::error_code();
}

void TlsStream::send_now() {
  if (closed() || flushing_ || sent_ == out_->size()) return;
  boost::system::error_code ignored;
  sent_ += socket_.write_some(asio::buffer(out_->data() + sent_, out_->size() - sent_), ignored);
}

asio::awaitable<boost::system::error_code> TlsStream::shutdown() {
  if (closed()) co_return asio::error::operation_aborted;
  ERR_clear_error();
  // 0: ours is written and the server's has not come yet, which the reads
  // see. Anything else (a handshake message still to be read first) leaves
  // the end of stream to TCP alone.
  if (SSL_shutdown(ssl_.get()) < 0) ERR_clear_error();
  if (auto ec = co_await flush()) co_return ec;
  boost::system::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  co_return ec;
}

void TlsStream::close() {
  boost::system::error_code ignored;
  socket_.close(ignored);
  read_done_.cancel();  // a write waiting for a read gives up
}

asio::awaitable<boost::system::error_code> TlsStream::wait_readable() {
  if (closed()) co_return asio::error::operation_aborted;
  if (has_pending()) co_return boost::system::error_code();
  // A renegotiation put off until everything read was taken starts with the
  // next read, which is not to wait: the server may send nothing until then.
  if (SSL_renegotiate_pending(ssl_.get()) && !SSL_in_init(ssl_.get())) co_return boost::system::error_code();
  if (has_output() && !flushing_) {
    if (auto ec = co_await flush()) co_return ec;
  }
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
  TlsStream stream(std::move(server), ssl);
  // Idle connections give their record buffers back.
  SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
  if (auto ec = stream.attach()) {
    result.failure = TlsUpgrade::Failure::handshake;
    result.error = ec.message();
    ERR_clear_error();
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
  fit_read_buffer_to_records(ssl);
  result.certificate = peer_certificate_der(ssl);
  result.stream.emplace(std::move(stream));
  co_return result;
}

}  // namespace quillgate::proxy
