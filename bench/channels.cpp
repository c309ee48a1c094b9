// The client's connections: through the gateway (WebSocket, RDCleanPath
// request, then the relayed stream) or straight to the backend, or through a
// forwarder to it (X.224, then TLS).
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "proxy/client_stream.hpp"
#include "proxy/server_leg.hpp"
#include "quillbench.hpp"
#include "rdcleanpath.hpp"

namespace quillbench {

namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

Bytes rdcleanpath_request(std::uint16_t backend_port) {
  using quillgate::asn1::append_tlv;
  const std::string destination = "127.0.0.1:" + std::to_string(backend_port);
  Bytes inner;
  append_tlv(inner, 0x0C, {reinterpret_cast<const std::uint8_t*>(destination.data()), destination.size()});
  Bytes x224;
  append_tlv(x224, 0x04, x224_request);
  Bytes body = {0xA0, 0x04, 0x02, 0x02, 0x0D, 0x3E};
  append_tlv(body, 0xA2, inner);
  append_tlv(body, 0xA6, x224);
  return quillgate::asn1::encode_sequence(body);
}

class GatewayChannel : public Channel {
 public:
  explicit GatewayChannel(tcp::socket socket) : ws_(std::move(socket)) {}

  awaitable<void> open(const Target& t) {
    co_await ws_.async_handshake("127.0.0.1", "/", use_awaitable);
    ws_.binary(true);
    ws_.auto_fragment(false);
    // Mask a whole 16 KiB message at once: one write per message, as a
    // browser does, rather than one per 4 KiB.
    ws_.write_buffer_bytes(64 * 1024);
    const Bytes request = rdcleanpath_request(t.backend_port);
    co_await ws_.async_write(asio::buffer(request), use_awaitable);
    co_await ws_.async_read(buffer_, use_awaitable);
    const auto* p = static_cast<const std::uint8_t*>(buffer_.data().data());
    // A success response starts with the version element; an error one with [1].
    if (buffer_.size() < 8 || p[2 + (p[1] & 0x80 ? (p[1] & 0x7F) : 0)] != 0xA0) {
      throw std::runtime_error("the gateway refused the connection");
    }
  }
  awaitable<void> send(const std::uint8_t* data, std::size_t size) override {
    co_await ws_.async_write(asio::buffer(data, size), use_awaitable);
  }
  awaitable<std::span<const std::uint8_t>> receive() override {
    buffer_.consume(buffer_.size());
    co_await ws_.async_read(buffer_, use_awaitable);
    co_return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(buffer_.data().data()), buffer_.size());
  }

 private:
  // Frames are read through a 64 KiB read-ahead buffer, as a browser reads
  // its socket, rather than Beast's 1.5 KiB frame-header buffer, with which
  // each 16 KiB message costs the client two receive calls. The direct client's
  // TLS engine likewise reads whole records into a buffer of its own.
  websocket::stream<quillgate::proxy::ClientStream> ws_;
  beast::flat_buffer buffer_;
};

ssl::context& direct_context() {
  static ssl::context ctx = [] {
    ssl::context c(ssl::context::tls_client);
    c.set_verify_mode(ssl::verify_none);
    return c;
  }();
  return ctx;
}

class DirectChannel : public Channel {
 public:
  explicit DirectChannel(tcp::socket socket) : tls_(std::move(socket), direct_context()), buffer_(chunk) {}

  awaitable<void> open() {
    co_await asio::async_write(tls_.next_layer(), asio::buffer(x224_request), use_awaitable);
    auto reply = co_await quillgate::proxy::read_tpckt_packet(tls_.next_layer());
    if (!reply) throw std::runtime_error(reply.error().message);
    co_await tls_.async_handshake(ssl::stream_base::client, use_awaitable);
  }
  awaitable<void> send(const std::uint8_t* data, std::size_t size) override {
    co_await asio::async_write(tls_, asio::buffer(data, size), use_awaitable);
  }
  awaitable<std::span<const std::uint8_t>> receive() override {
    const std::size_t n = co_await tls_.async_read_some(asio::buffer(buffer_), use_awaitable);
    co_return std::span<const std::uint8_t>(buffer_.data(), n);
  }

 private:
  ssl::stream<tcp::socket> tls_;
  Bytes buffer_;
};

}  // namespace

awaitable<std::unique_ptr<Channel>> open_channel(const Target& t) {
  auto executor = co_await asio::this_coro::executor;
  tcp::socket socket(executor);
  co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), t.port()}, use_awaitable);
  // As browsers do: the client's own small writes are never held back.
  socket.set_option(tcp::no_delay(true));
  if (t.gateway()) {
    auto channel = std::make_unique<GatewayChannel>(std::move(socket));
    co_await channel->open(t);
    co_return channel;
  }
  auto channel = std::make_unique<DirectChannel>(std::move(socket));
  co_await channel->open();
  co_return channel;
}

}  // namespace quillbench
