// The backend: an RDP server stand-in. It reads the X.224 request (one TPKT
// packet), answers, accepts TLS with a generated EC P-256 certificate, then
// serves the workloads the client names (quillbench.hpp).
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/ssl.hpp>
#include <iostream>

#include "proxy/server_leg.hpp"
#include "quillbench.hpp"

namespace quillbench {

namespace ssl = asio::ssl;

namespace {

ssl::context backend_context(bool tls12_only, bool no_tickets) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench.test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());

  ssl::context ctx(ssl::context::tls_server);
  SSL_CTX_use_certificate(ctx.native_handle(), cert);
  SSL_CTX_use_PrivateKey(ctx.native_handle(), key);
  if (tls12_only) SSL_CTX_set_max_proto_version(ctx.native_handle(), TLS1_2_VERSION);
  if (no_tickets) SSL_CTX_set_num_tickets(ctx.native_handle(), 0);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

awaitable<void> serve(tcp::socket socket, ssl::context& ctx) {
  auto request = co_await quillgate::proxy::read_tpckt_packet(socket);
  if (!request) co_return;
  co_await asio::async_write(socket, asio::buffer(x224_confirm), use_awaitable);
  ssl::stream<tcp::socket> tls(std::move(socket), ctx);
  co_await tls.async_handshake(ssl::stream_base::server, use_awaitable);
  static const Bytes payload(chunk, 0x5A);
  Bytes buffer(chunk);
  for (;;) {
    std::uint8_t command[9];
    co_await asio::async_read(tls, asio::buffer(command), use_awaitable);
    std::uint64_t count = get_u64(command + 1);
    if (command[0] == download) {
      while (count > 0) {
        const std::size_t n = std::min<std::uint64_t>(count, chunk);
        co_await asio::async_write(tls, asio::buffer(payload.data(), n), use_awaitable);
        count -= n;
      }
    } else if (command[0] == upload || command[0] == small_in) {
      if (command[0] == small_in) count *= small_size;
      while (count > 0) count -= co_await tls.async_read_some(asio::buffer(buffer), use_awaitable);
      co_await asio::async_write(tls, asio::buffer(payload.data(), 1), use_awaitable);
    } else if (command[0] == small_out) {
      // One record each, and no Nagle delay between them: what an RDP
      // server writes when it sends many small updates.
      tls.next_layer().set_option(tcp::no_delay(true));
      for (; count > 0; --count) co_await asio::async_write(tls, asio::buffer(payload.data(), small_size), use_awaitable);
    } else if (command[0] == interactive_in) {
      // No TCP_NODELAY here, and no answer before both messages are in: the
      // first one's acknowledgement waits for the delayed-acknowledgement
      // timer, so a sender that holds the second back for it (Nagle's
      // algorithm) shows.
      std::uint8_t pair[2 * interactive_size];
      std::uint8_t arrived[8];
      for (; count > 0; --count) {
        co_await asio::async_read(tls, asio::buffer(pair), use_awaitable);
        put_u64(arrived, monotonic_ns());
        co_await asio::async_write(tls, asio::buffer(arrived), use_awaitable);
      }
    } else if (command[0] == interactive_out) {
      // RDP servers set TCP_NODELAY themselves; any stall is then the relay's.
      tls.next_layer().set_option(tcp::no_delay(true));
      asio::steady_timer timer(tls.get_executor());
      std::uint8_t go;
      std::uint8_t message[interactive_size] = {};
      for (; count > 0; --count) {
        co_await asio::async_read(tls, asio::buffer(&go, 1), use_awaitable);
        co_await asio::async_write(tls, asio::buffer(message), use_awaitable);
        timer.expires_after(interactive_gap);
        co_await timer.async_wait(use_awaitable);
        put_u64(message, monotonic_ns());
        co_await asio::async_write(tls, asio::buffer(message), use_awaitable);
      }
    } else {
      // As RDP servers do. Without it, the first echo after the handshake is
      // held until the client acknowledges the session tickets (some 40 ms),
      // or not, depending on which arrives first, and the set-up figures
      // measure that race rather than the path.
      tls.next_layer().set_option(tcp::no_delay(true));
      for (;;) {
        const std::size_t n = co_await tls.async_read_some(asio::buffer(buffer), use_awaitable);
        co_await asio::async_write(tls, asio::buffer(buffer.data(), n), use_awaitable);
      }
    }
  }
}

}  // namespace

int run_backend(bool tls12_only, bool no_tickets) {
  asio::io_context io(1);
  ssl::context ctx = backend_context(tls12_only, no_tickets);
  tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::cout << acceptor.local_endpoint().port() << std::endl;
  asio::co_spawn(io, [&]() -> awaitable<void> {
    for (;;) {
      tcp::socket socket = co_await acceptor.async_accept(use_awaitable);
      asio::co_spawn(io, serve(std::move(socket), ctx), asio::detached);
    }
  }, asio::detached);
  io.run();
  return 0;
}

}  // namespace quillbench
