#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <numeric>
#include <vector>

#include "proxy/client_stream.hpp"

namespace quillgate::proxy {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Bytes = std::vector<std::uint8_t>;

struct SocketPair {
  asio::io_context io{1};
  tcp::socket near{io};
  tcp::socket far{io};

  SocketPair() {
    tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    near.connect(acceptor.local_endpoint());
    far = acceptor.accept();
  }

  // Runs `task` to its end; bytes lost on the way would leave it waiting, so
  // it fails after ten seconds instead.
  template <class F>
  void run(F task) {
    bool done = false;
    asio::steady_timer limit(io, std::chrono::seconds(10));
    limit.async_wait([&](boost::system::error_code ec) {
      if (!ec) io.stop();
    });
    asio::co_spawn(io, task(), [&](std::exception_ptr e) {
      done = true;
      limit.cancel();
      if (e) std::rethrow_exception(e);
    });
    io.run();
    ASSERT_TRUE(done) << "still waiting after ten seconds";
  }
};

Bytes counting(std::size_t size, std::uint8_t start = 0) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), start);
  return bytes;
}

// Many small reads and one large one, over data that arrived in one piece
// and data that arrives later, return the stream unchanged and in order; the
// end of the stream is reported once the buffer is empty.
TEST(ClientStream, ReadsThroughTheReadAheadBufferInOrder) {
  SocketPair pair;
  const Bytes sent = counting(300000, 7);
  pair.run([&]() -> asio::awaitable<void> {
    ClientStream stream(std::move(pair.near));
    asio::write(pair.far, asio::buffer(sent.data(), 1000));
    Bytes got;
    std::uint8_t small[13];
    while (got.size() < 1000) {
      const std::size_t n = co_await stream.async_read_some(asio::buffer(small), asio::use_awaitable);
      got.insert(got.end(), small, small + n);
    }
    asio::write(pair.far, asio::buffer(sent.data() + 1000, sent.size() - 1000));
    pair.far.shutdown(tcp::socket::shutdown_send);
    Bytes large(ClientStream::read_ahead_size);
    for (std::size_t i = 0;; ++i) {
      // Alternate small reads, served from the buffer, with reads large
      // enough to bypass it.
      auto buffer = i % 2 ? asio::buffer(large) : asio::buffer(small);
      auto [ec, n] = co_await stream.async_read_some(buffer, asio::as_tuple(asio::use_awaitable));
      if (ec) {
        EXPECT_EQ(ec, asio::error::eof);
        break;
      }
      const auto* p = static_cast<const std::uint8_t*>(buffer.data());
      got.insert(got.end(), p, p + n);
    }
    EXPECT_EQ(got, sent);
  });
}

// Read as frames behind a WebSocket server: messages of every length class,
// fragmented into frames of a few bytes and sent in odd pieces, with Pings
// between them, arrive whole and in order; no read takes more than its frame,
// so a message that is here whole is seen as ready before it is read, and
// whole Binary messages can be taken past the WebSocket layer.
TEST(ClientStream, FramesAreReadUpToTheirEndAndReadyMessagesAreSeen) {
  namespace beast = boost::beast;
  namespace http = beast::http;
  namespace websocket = beast::websocket;
  SocketPair pair;
  const std::vector<std::size_t> sizes = {0, 1, 125, 126, 65535, 65536, 200000, 3, 3, 3};
  pair.run([&]() -> asio::awaitable<void> {
    websocket::stream<tcp::socket> client(std::move(pair.far));
    websocket::stream<ClientStream> server(ClientStream(std::move(pair.near)));
    bool accepted = false;
    asio::co_spawn(pair.io, [&]() -> asio::awaitable<void> {
      beast::flat_buffer buffer;
      http::request<http::empty_body> request;
      co_await http::async_read(server.next_layer(), buffer, request, asio::use_awaitable);
      server.next_layer().put_back(buffer.cdata());
      server.next_layer().read_frames();
      co_await server.async_accept(request, asio::use_awaitable);
      accepted = true;
    }, asio::detached);
    co_await client.async_handshake("127.0.0.1", "/", asio::use_awaitable);
    while (!accepted) co_await asio::post(pair.io, asio::use_awaitable);

    // The first message goes in frames of 8 bytes; the last three small ones
    // in one write, after everything else.
    client.binary(true);
    client.auto_fragment(true);
    client.write_buffer_bytes(8);
    for (std::size_t i = 0; i + 3 < sizes.size(); ++i) {
      if (i == 1) client.auto_fragment(false);
      co_await client.async_ping("p", asio::use_awaitable);
      co_await client.async_write(asio::buffer(counting(sizes[i], static_cast<std::uint8_t>(i))), asio::use_awaitable);
    }
    // The three as raw frames, each masked with a key of its own, a Ping
    // before the last.
    Bytes three;
    for (std::size_t i = sizes.size() - 3; i < sizes.size(); ++i) {
      if (i == sizes.size() - 1) three.insert(three.end(), {0x89, 0x80, 1, 2, 3, 4});
      const std::uint8_t key[4] = {0x5A, static_cast<std::uint8_t>(i), 0xC3, 0x0F};
      const Bytes payload = counting(sizes[i], static_cast<std::uint8_t>(i));
      three.insert(three.end(), {0x82, static_cast<std::uint8_t>(0x80 | payload.size())});
      three.insert(three.end(), key, key + 4);
      for (std::size_t k = 0; k < payload.size(); ++k) three.push_back(payload[k] ^ key[k % 4]);
    }
    co_await asio::async_write(client.next_layer(), asio::buffer(three), asio::use_awaitable);

    for (std::size_t i = 0; i < sizes.size(); ++i) {
      // The first two of the three are taken past the WebSocket layer,
      // unmasked: as far as the limit allows, then up to the Ping, which is
      // the layer's, as is the message behind it.
      if (i == sizes.size() - 3) {
        beast::flat_buffer taken;
        EXPECT_EQ(server.next_layer().take_messages(taken, 4), ClientStream::Taken::full);
        EXPECT_EQ(taken.size(), 3u);
        EXPECT_TRUE(server.next_layer().next_message_ready());  // the second, here whole
        EXPECT_EQ(server.next_layer().take_messages(taken, 64), ClientStream::Taken::other);
        const auto* p = static_cast<const std::uint8_t*>(taken.data().data());
        Bytes expected = counting(3, static_cast<std::uint8_t>(i));
        const Bytes second = counting(3, static_cast<std::uint8_t>(i + 1));
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(Bytes(p, p + taken.size()), expected);
        i += 2;
      }
      beast::flat_buffer message;
      do {
        co_await server.async_read_some(message, 0, asio::use_awaitable);
      } while (!server.is_message_done());
      EXPECT_EQ(Bytes(static_cast<const std::uint8_t*>(message.data().data()),
                      static_cast<const std::uint8_t*>(message.data().data()) + message.size()),
                counting(sizes[i], static_cast<std::uint8_t>(i)))
          << "message " << i;
    }
    EXPECT_FALSE(server.next_layer().next_message_ready());

    // Empty messages take no room, but a call still ends after a limit's
    // worth of the stream, and holds no buffer for them.
    const Bytes empty = {0x82, 0x80, 9, 8, 7, 6};
    Bytes many;
    for (int i = 0; i < 20000; ++i) many.insert(many.end(), empty.begin(), empty.end());
    co_await asio::async_write(client.next_layer(), asio::buffer(many), asio::use_awaitable);
    const std::uint64_t before = server.next_layer().bytes_read();
    co_await server.next_layer().wait_readable();
    beast::flat_buffer none;
    EXPECT_EQ(server.next_layer().take_messages(none, 30000), ClientStream::Taken::full);
    EXPECT_GE(server.next_layer().bytes_read() - before, 30000u);
    EXPECT_LT(server.next_layer().bytes_read() - before, 30000u + empty.size());
    EXPECT_EQ(none.capacity(), 0u);

    // Taken as the relay takes them, waiting whenever the socket is drained:
    // a frame whose start waited alone, a burst larger than what a wait
    // receives at first, a small message after it, a large one after a pause.
    ClientStream& stream = server.next_layer();
    while (stream.bytes_read() - before < many.size()) {
      const auto taken = stream.take_messages(none, 64 * 1024);
      if (taken == ClientStream::Taken::drained && stream.bytes_read() - before < many.size()) {
        co_await stream.wait_readable();
      }
    }
    const auto frame = [](const Bytes& payload) {
      Bytes out = {0x82, 0xFE, static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size()), 0x11, 0x22, 0x33, 0x44};
      if (payload.size() < 126) out.erase(out.begin() + 2, out.begin() + 4), out[1] = 0x80 | payload.size();
      for (std::size_t k = 0; k < payload.size(); ++k) out.push_back(payload[k] ^ (0x11 * (k % 4 + 1)));
      return out;
    };
    // Taken in pieces of up to 64 KiB, as the relay sends them on: a piece
    // may come out short right after a wait, never while the client streams.
    std::size_t short_pieces = 0;
    const auto take = [&](std::size_t want) -> asio::awaitable<Bytes> {
      Bytes got;
      bool waited = false;
      while (got.size() < want) {
        beast::flat_buffer out;
        const auto taken = stream.take_messages(out, 64 * 1024);
        const auto* p = static_cast<const std::uint8_t*>(out.data().data());
        got.insert(got.end(), p, p + out.size());
        if (taken == ClientStream::Taken::other) break;
        if (taken == ClientStream::Taken::full && !waited && out.size() < 60 * 1024) ++short_pieces;
        waited = taken == ClientStream::Taken::drained && got.size() < want;
        if (waited) EXPECT_FALSE(co_await stream.wait_readable());
      }
      co_return got;
    };
    // A client that stops within a frame holds no more than the frame: one
    // byte of its header, then 100 bytes, stay in the landing area.
    const Bytes split = counting(2000, 1);
    const Bytes split_frame = frame(split);
    beast::flat_buffer early;
    for (const auto [from, to] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 100}, {100, 300}}) {
      co_await asio::async_write(client.next_layer(), asio::buffer(split_frame.data() + from, to - from),
                                 asio::use_awaitable);
      EXPECT_FALSE(co_await stream.wait_readable());
      EXPECT_EQ(stream.take_messages(early, 64 * 1024), ClientStream::Taken::drained);
      EXPECT_LE(stream.heap_held(), to <= 100 ? 0 : split_frame.size()) << "after " << to << " bytes";
    }
    co_await asio::async_write(client.next_layer(), asio::buffer(split_frame.data() + 300, split_frame.size() - 300),
                               asio::use_awaitable);
    EXPECT_EQ(co_await take(split.size()), split);
    for (const auto [burst, size] : {std::pair<std::size_t, std::size_t>{40, 64}, {1, 64}, {3000, 100}}) {
      Bytes sent, expected;
      for (std::size_t i = 0; i < burst; ++i) {
        const Bytes payload = counting(size, static_cast<std::uint8_t>(i));
        const Bytes f = frame(payload);
        sent.insert(sent.end(), f.begin(), f.end());
        expected.insert(expected.end(), payload.begin(), payload.end());
      }
      co_await asio::async_write(client.next_layer(), asio::buffer(sent), asio::use_awaitable);
      EXPECT_EQ(co_await take(expected.size()), expected) << "a burst of " << burst;
    }
    EXPECT_EQ(short_pieces, 0u) << "pieces of small messages that came out short while the client streamed";
    // Not a multiple of a vector's width: the unmasking's tail is checked
    // too. The start of the next frame comes with it.
    const Bytes large = counting(20013, 7);
    Bytes large_then_start = frame(large);
    large_then_start.insert(large_then_start.end(), split_frame.begin(), split_frame.begin() + 600);
    co_await asio::async_write(client.next_layer(), asio::buffer(large_then_start), asio::use_awaitable);
    EXPECT_EQ(co_await take(large.size()), large);

    // The server ends while the relay waits for the rest of a frame: the
    // WebSocket layer's Close reads the stream meanwhile, and gets what the
    // wait receives after what was held (the rest of that frame, then the
    // client's answer). The wait holds the frame, not the buffer it
    // streamed in.
    EXPECT_EQ(stream.take_messages(early, 64 * 1024), ClientStream::Taken::drained);
    EXPECT_LE(stream.heap_held(), split_frame.size());
    bool closed = false;
    asio::co_spawn(pair.io, [&]() -> asio::awaitable<void> {
      co_await asio::post(pair.io, asio::use_awaitable);
      auto [ec] = co_await server.async_close(websocket::close_code::normal, asio::as_tuple(asio::use_awaitable));
      EXPECT_FALSE(ec) << ec.message();
      closed = true;
    }, asio::detached);
    asio::co_spawn(pair.io, [&]() -> asio::awaitable<void> {
      asio::steady_timer later(pair.io, std::chrono::milliseconds(50));
      co_await later.async_wait(asio::use_awaitable);
      co_await asio::async_write(client.next_layer(), asio::buffer(split_frame.data() + 600, split_frame.size() - 600),
                                 asio::use_awaitable);
      beast::flat_buffer ignored;
      auto [ec, n] = co_await client.async_read(ignored, asio::as_tuple(asio::use_awaitable));
      EXPECT_EQ(ec, websocket::error::closed);
    }, asio::detached);
    EXPECT_FALSE(co_await stream.wait_readable());
    while (!closed) co_await asio::post(pair.io, asio::use_awaitable);
  });
}

// Held writes leave in order on flush. A write made while the flush waits for
// a full socket waits too (a client that stops reading holds every writer
// back) and follows the held bytes; a write after the flush goes straight out.
TEST(ClientStream, HeldWritesLeaveInOrderAndLaterWritesWaitForTheFlush) {
  SocketPair pair;
  const Bytes first = counting(100);
  // The socket buffers are made small, so that the bulk cannot fit them
  // whatever the system's defaults.
  pair.near.set_option(asio::socket_base::send_buffer_size(64 * 1024));
  pair.far.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
  const Bytes bulk = counting(8 << 20, 1);
  const Bytes during = counting(50, 3);
  const Bytes after = counting(20, 5);
  Bytes expected;
  for (const Bytes* part : {&first, &bulk, &during, &after}) expected.insert(expected.end(), part->begin(), part->end());

  pair.run([&]() -> asio::awaitable<void> {
    ClientStream stream(std::move(pair.near));
    stream.hold_writes();
    co_await asio::async_write(stream, asio::buffer(first), asio::use_awaitable);
    co_await asio::async_write(stream, asio::buffer(bulk), asio::use_awaitable);
    EXPECT_TRUE(stream.holding());

    bool flushed = false;
    bool during_written = false;
    asio::co_spawn(pair.io, [&]() -> asio::awaitable<void> {
      EXPECT_FALSE(co_await stream.flush());
      flushed = true;
    }, asio::detached);
    co_await asio::post(pair.io, asio::use_awaitable);
    asio::co_spawn(pair.io, [&]() -> asio::awaitable<void> {
      co_await asio::async_write(stream, asio::buffer(during), asio::use_awaitable);
      during_written = true;
    }, asio::detached);
    for (int turns = 0; turns < 10; ++turns) co_await asio::post(pair.io, asio::use_awaitable);
    EXPECT_FALSE(flushed);
    EXPECT_FALSE(during_written);

    Bytes got(expected.size());
    co_await asio::async_read(pair.far, asio::buffer(got.data(), expected.size() - after.size()), asio::use_awaitable);
    for (int turns = 0; !(flushed && during_written) && turns < 100; ++turns) {
      co_await asio::post(pair.io, asio::use_awaitable);
    }
    EXPECT_TRUE(flushed && during_written);
    EXPECT_FALSE(stream.holding());
    co_await asio::async_write(stream, asio::buffer(after), asio::use_awaitable);
    co_await asio::async_read(pair.far, asio::buffer(got.data() + expected.size() - after.size(), after.size()),
                              asio::use_awaitable);
    EXPECT_EQ(got, expected);
  });
}


}  // namespace
}  // namespace quillgate::proxy
