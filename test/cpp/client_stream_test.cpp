#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
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

}  // namespace
}  // namespace quillgate::proxy
