#include "proxy/client_stream.hpp"

#include <algorithm>

namespace quillgate::proxy {

namespace asio = boost::asio;

ClientStream::ClientStream(socket_type socket) : socket_(std::move(socket)) {
  boost::system::error_code ignored;  // a closed socket fails its first read instead
  socket_.non_blocking(true, ignored);
}

void ClientStream::put_back(asio::const_buffer bytes) {
  if (bytes.size() == 0) return;
  // They came before whatever the read-ahead buffer still holds.
  const std::size_t held = ahead_end_ - ahead_begin_;
  auto joined = std::make_unique_for_overwrite<std::uint8_t[]>(std::max(bytes.size() + held, read_ahead_size));
  asio::buffer_copy(asio::buffer(joined.get(), bytes.size()), bytes);
  if (held) std::copy(ahead_.get() + ahead_begin_, ahead_.get() + ahead_end_, joined.get() + bytes.size());
  ahead_ = std::move(joined);
  ahead_begin_ = 0;
  ahead_end_ = bytes.size() + held;
}

boost::system::error_code ClientStream::fill_now() {
  ahead_ = std::make_unique_for_overwrite<std::uint8_t[]>(read_ahead_size);
  boost::system::error_code ec;
  const std::size_t n = socket_.read_some(asio::buffer(ahead_.get(), read_ahead_size), ec);
  if (ec) {
    release_ahead();
    return ec;
  }
  ahead_begin_ = 0;
  ahead_end_ = n;
  return {};
}

}  // namespace quillgate::proxy
