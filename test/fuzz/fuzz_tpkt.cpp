// libFuzzer target: read_tpckt_packet over an in-memory stream that hands out
// the input in chunks of fuzzer-chosen sizes.
#include <boost/asio/append.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <optional>
#include <span>

#include "proxy/server_leg.hpp"
#include "x224.hpp"

namespace asio = boost::asio;

namespace {

class MemoryStream {
 public:
  using executor_type = asio::io_context::executor_type;

  MemoryStream(executor_type executor, std::span<const std::uint8_t> data, std::uint8_t chunk)
      : executor_(executor), data_(data), chunk_(chunk % 7 + 1) {}

  executor_type get_executor() { return executor_; }
  std::size_t consumed() const { return position_; }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const Buffers& buffers) {
          boost::system::error_code ec;
          std::size_t n = 0;
          if (position_ == data_.size()) {
            ec = asio::error::eof;
          } else {
            // Chunk sizes cycle so that headers and bodies split everywhere.
            const std::size_t limit = std::min<std::size_t>(chunk_ * (reads_++ % 5 + 1), data_.size() - position_);
            n = asio::buffer_copy(buffers, asio::buffer(data_.data() + position_, limit));
            position_ += n;
          }
          asio::post(executor_, asio::append(std::move(handler), ec, n));
        },
        token, buffers);
  }

 private:
  executor_type executor_;
  std::span<const std::uint8_t> data_;
  std::size_t chunk_;
  std::size_t position_ = 0;
  std::size_t reads_ = 0;
};

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  asio::io_context context;
  MemoryStream stream(context.get_executor(), {data + 1, size - 1}, data[0]);
  std::optional<quillgate::Expected<quillgate::asn1::Bytes>> result;
  asio::co_spawn(
      context, [&]() -> asio::awaitable<void> { result.emplace(co_await quillgate::proxy::read_tpckt_packet(stream)); },
      asio::detached);
  context.run();
  if (!result) std::abort();

  const std::span<const std::uint8_t> input(data + 1, size - 1);
  if (*result) {
    const auto& packet = **result;
    // Exactly the announced packet, byte for byte, and nothing read beyond it.
    if (packet.size() < 4 || packet.size() != (std::size_t{input[2]} << 8 | input[3])) std::abort();
    if (!std::equal(packet.begin(), packet.end(), input.begin())) std::abort();
    if (stream.consumed() != packet.size()) std::abort();
    // The refusal check reads inside the packet only (ASan sees to that) and
    // counts the failure type byte where the Connection Confirm puts it.
    if (quillgate::x224::negotiation_failure(packet) && (packet.size() < 19 || packet[11] != 0x03)) std::abort();
  } else {
    const std::string& m = result->error().message;
    if (!starts_with(m, "读取 TPKT header 失败: ") && m != "无效的 TPKT header" && m != "TPKT 长度不合法" &&
        !starts_with(m, "读取 TPKT body 失败: ")) {
      std::abort();
    }
    if (stream.consumed() > std::max<std::size_t>(4, input.size() >= 4 ? (std::size_t{input[2]} << 8 | input[3]) : 4)) {
      std::abort();
    }
  }
  return 0;
}
