#pragma once

#include <openssl/ssl.h>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "asn1.hpp"

namespace quillgate::proxy {

// A TLS client connection driven directly on its socket. OpenSSL reads the
// non-blocking socket itself, and the task waits for readiness whenever
// OpenSSL asks for it. What OpenSSL writes (records, alerts, handshake
// messages) it writes to an outgoing buffer, which goes to the socket in as
// few writes as it takes: the records of one write_all, up to 64 KiB of the
// client's stream, leave together. The buffer is given back once sent, so an
// idle connection holds only OpenSSL's own state (whose record buffers are
// released while idle).
//
// One read and one write may be in progress at once, from two branches of
// the same task; they take turns inside OpenSSL, since a task runs one step
// at a time, and only one of them sends the outgoing buffer at a time. A
// renegotiation the server asks for is carried on by the read alone: the
// write waits for it to end.
class TlsStream {
 public:
  TlsStream(boost::asio::ip::tcp::socket socket, SSL* ssl);

  // Reads from the socket, writes to the outgoing buffer; the socket made
  // non-blocking. Before anything else.
  boost::system::error_code attach();

  SSL* native_handle() const { return ssl_.get(); }
  boost::asio::ip::tcp::socket& socket() { return socket_; }

  boost::asio::awaitable<boost::system::error_code> handshake();

  // Reads at most `size` bytes. A close notification is asio::error::eof; a
  // connection closed without one is asio::ssl::error::stream_truncated.
  boost::asio::awaitable<std::pair<boost::system::error_code, std::size_t>> read_some(std::uint8_t* data,
                                                                                      std::size_t size);

  // One read that never waits: would_block when nothing can be read yet.
  std::pair<boost::system::error_code, std::size_t> read_now(std::uint8_t* data, std::size_t size);

  boost::asio::awaitable<boost::system::error_code> write_all(const std::uint8_t* data, std::size_t size);

  // Completes when a read would find data: OpenSSL holds some already, or the
  // socket has become readable.
  boost::asio::awaitable<boost::system::error_code> wait_readable();

  // OpenSSL holds bytes not yet returned by read_some.
  bool has_pending() const { return SSL_has_pending(ssl_.get()) == 1; }

  // A read made OpenSSL write something (a handshake message, an alert):
  // flush() sends it.
  bool has_output() const { return out_->size() > sent_; }

  // Sends what OpenSSL has written, waiting for the socket as needed; waits
  // for a send under way to end first.
  boost::asio::awaitable<boost::system::error_code> flush();

  // Ends the sending direction in order: the close notification, then a TCP
  // shutdown of the sending side. Reads go on until the server closes in turn.
  // Not while a write is under way.
  boost::asio::awaitable<boost::system::error_code> shutdown();

  // Closes the connection at once; reads and writes waiting for the socket
  // fail, and later ones fail without touching it.
  void close();

 private:
  struct Free {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };

  // After an SSL call failed with `ssl_error` (errno saved in `sys_errno`):
  // waits for the socket when OpenSSL wants to read or write, returning no
  // error so that the call is retried; otherwise returns the failure.
  boost::asio::awaitable<boost::system::error_code> retry_after(int ssl_error, int sys_errno);

  // Waits for the next read (or close()), sending first what a read wrote
  // for the server (a ClientHello), unless a send under way does.
  boost::asio::awaitable<boost::system::error_code> wait_for_read();

  // Sends what the socket takes of the outgoing buffer at once, ignoring
  // failures: an alert before the connection is given up.
  void send_now();

  // Declared first so that the SSL object, which uses its descriptor, goes first.
  boost::asio::ip::tcp::socket socket_;
  // Where OpenSSL writes, through its write BIO: on the heap, so that the
  // BIO's pointer to it stays good when the stream moves.
  std::unique_ptr<std::vector<std::uint8_t>> out_ = std::make_unique<std::vector<std::uint8_t>>();
  std::size_t sent_ = 0;  // of out_
  bool flushing_ = false;
  // Never expires; cancelled when a flush ends, which wakes a flush that waited for it.
  boost::asio::steady_timer flushed_;
  // Never expires; cancelled by every read and by close(), which wakes a
  // write waiting for a renegotiation that only reads carry on.
  boost::asio::steady_timer read_done_;
  std::unique_ptr<SSL, Free> ssl_;
  // Every call into OpenSSL checks this first: once the socket is closed its
  // descriptor may belong to another connection, and OpenSSL still holds it.
  bool closed() const { return !socket_.is_open(); }
  // The server has asked for a new handshake: it is under way, or is still
  // to start with a read.
  bool renegotiating() const { return SSL_in_init(ssl_.get()) || SSL_renegotiate_pending(ssl_.get()); }

  // What the last read that could not go on was waiting for.
  boost::asio::socket_base::wait_type read_waits_for_ = boost::asio::socket_base::wait_read;
};

// The outcome of turning the server connection into a TLS client connection.
struct TlsUpgrade {
  enum class Failure { none, context, handshake };
  Failure failure = Failure::none;
  std::string error;                // the TLS library's text, when failed
  std::optional<std::uint8_t> alert;  // the alert the server ended the handshake with, if it did
  std::optional<TlsStream> stream;  // when succeeded
  asn1::Bytes certificate;          // the server's own certificate in DER, or the placeholder
};

// Runs the TLS client handshake over `server`: TLS 1.2 or later, no
// verification of the server's certificate or name, SNI only when `host` is a
// name rather than an address.
boost::asio::awaitable<TlsUpgrade> upgrade_to_tls(boost::asio::ip::tcp::socket server, const std::string& host);

}  // namespace quillgate::proxy
