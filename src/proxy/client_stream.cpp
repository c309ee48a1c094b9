#include "proxy/client_stream.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillgate::proxy {

namespace asio = boost::asio;

ClientStream::ClientStream(socket_type socket)
    : socket_(std::move(socket)),
      received_(socket_.get_executor(), boost::asio::steady_timer::time_point::max()),
      flushed_(socket_.get_executor(), boost::asio::steady_timer::time_point::max()) {
  boost::system::error_code ignored;  // a closed socket fails its first read instead
  socket_.non_blocking(true, ignored);
}

void ClientStream::put_back(asio::const_buffer bytes) {
  if (bytes.size() == 0) return;
  // They came before whatever the read-ahead buffer still holds; together
  // in the landing area when they fit, else in a block of their size.
  const std::size_t held = buffered();
  const std::size_t size = bytes.size() + held;
  std::unique_ptr<std::uint8_t[]> joined;
  if (size > landing_.size()) joined = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::uint8_t* to = joined ? joined.get() : landing_.data();
  if (held) std::memmove(to + bytes.size(), ahead() + ahead_begin_, held);
  asio::buffer_copy(asio::buffer(to, bytes.size()), bytes);
  heap_ = std::move(joined);
  landed_ = !heap_;
  ahead_capacity_ = heap_ ? size : landing_.size();
  ahead_begin_ = 0;
  ahead_end_ = size;
}

boost::system::error_code ClientStream::fill_now() {
  heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(read_ahead_size);
  boost::system::error_code ec;
  const std::size_t n = socket_.read_some(asio::buffer(ahead(), read_ahead_size), ec);
  if (ec) {
    release_ahead();
    if (ec == asio::error::would_block) socket_may_hold_ = false;
    return ec;
  }
  ahead_begin_ = 0;
  ahead_end_ = n;
  ahead_capacity_ = read_ahead_size;
  socket_may_hold_ = n == read_ahead_size;  // a read that left room found the socket drained
  landing_filled_ = n > landing_.size();
  return {};
}

std::size_t ClientStream::make_room(bool fit) {
  const std::size_t held = buffered();
  // The frame at the front, as far as the buffer takes it; until its header
  // is here, a header of any size. Bytes past it are kept too.
  std::size_t need = max_header_size;
  if (header_ready()) need = static_cast<std::size_t>(std::min<std::uint64_t>(frame_size(), read_ahead_size));
  need = std::max(need, held);
  // Before a wait, the bytes held decide: the landing area while they fit
  // there, so that a frame's length, which the client chooses, reserves
  // nothing until its bytes come. While the client streams, the read-ahead
  // size: a buffer that ends in part of a small frame would otherwise read
  // on a landing area's worth at a time.
  const bool landing = fit && held <= landing_.size();
  const std::uint8_t* from = ahead() + ahead_begin_;
  if (heap_ && !landing &&
      (fit ? ahead_capacity_ == need : ahead_capacity_ >= std::max(need, read_ahead_size))) {
    std::memmove(heap_.get(), from, held);
  } else if (landing) {
    std::memmove(landing_.data(), from, held);
    heap_.reset();
    landed_ = true;
    ahead_capacity_ = landing_.size();
  } else {
    // A block for the frame to wait in; while the client streams, the
    // read-ahead size, which takes it and whatever follows.
    const std::size_t capacity = fit ? need : std::max(need, read_ahead_size);
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    std::memcpy(block.get(), from, held);
    heap_ = std::move(block);
    landed_ = false;
    ahead_capacity_ = capacity;
  }
  ahead_begin_ = 0;
  ahead_end_ = held;
  return ahead_capacity_ - held;
}

boost::system::error_code ClientStream::fill_more() {
  if (!has_buffered()) return fill_now();
  const std::size_t held = buffered();
  const std::size_t room = make_room(false);
  if (room == 0) return {};
  boost::system::error_code ec;
  const std::size_t n = socket_.read_some(asio::buffer(ahead() + held, room), ec);
  if (ec) {
    if (ec == asio::error::would_block) socket_may_hold_ = false;
    return ec;
  }
  ahead_end_ += n;
  socket_may_hold_ = ahead_end_ == ahead_capacity_;
  return {};
}

asio::awaitable<boost::system::error_code> ClientStream::flush() {
  holding_ = false;
  // Nothing held: a teardown has sent it already.
  if (outgoing_.empty()) co_return boost::system::error_code();
  const std::vector<std::uint8_t> sending = start_flush();
  auto [ec, n] = co_await asio::async_write(socket_, asio::buffer(sending), asio::as_tuple(asio::use_awaitable));
  end_flush(ec);
  co_return ec;
}

std::size_t ClientStream::header_size() const {
  if (buffered() < 2) return 0;
  const std::uint8_t second = ahead()[ahead_begin_ + 1];
  const std::size_t length = second & 0x7F;
  return 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + (second & 0x80 ? 4 : 0);
}

std::uint64_t ClientStream::frame_size() const {
  const std::uint8_t* p = ahead() + ahead_begin_;
  std::uint64_t length = p[1] & 0x7F;
  if (length >= 126) {
    const std::size_t octets = length == 126 ? 2 : 8;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = length << 8 | p[2 + i];
  }
  const std::uint64_t header = header_size();
  // A length no stream could carry: the WebSocket layer refuses it.
  return length > UINT64_MAX - header ? UINT64_MAX : header + length;
}

namespace {

// Where the compiler can pick a function's version when the module loads
// (x86-64 with glibc), the unmasking is built for AVX2 too: it then takes
// about two thirds of the time it takes with SSE2, the x86-64 baseline
// (AVX-512 gains nothing more). Not under ThreadSanitizer, whose runtime is
// not yet set up when the loader makes that choice.
#if defined(__SANITIZE_THREAD__)
#define QUILLGATE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLGATE_THREAD_SANITIZER 1
#endif
#endif
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && defined(__GLIBC__) && !defined(QUILLGATE_THREAD_SANITIZER)
#define QUILLGATE_UNMASK_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define QUILLGATE_UNMASK_VERSIONS
#endif

// Copies `size` bytes from `from` to `to`, undoing the client's mask (RFC
// 6455 5.3) on the way, eight bytes at a time (which the compiler turns into
// vector instructions).
QUILLGATE_UNMASK_VERSIONS void unmask_copy(const std::uint8_t* from, std::uint8_t* to, std::size_t size, const std::uint8_t (&key)[4]) {
  std::uint8_t doubled[8];
  std::memcpy(doubled, key, 4);
  std::memcpy(doubled + 4, key, 4);
  std::uint64_t mask;
  std::memcpy(&mask, doubled, 8);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, from + i, 8);
    word ^= mask;
    std::memcpy(to + i, &word, 8);
  }
  for (; i < size; ++i) to[i] = from[i] ^ key[i % 4];
}

}  // namespace

ClientStream::Taken ClientStream::take_messages(boost::beast::flat_buffer& out, std::size_t limit) {
  // Room is prepared once a message with a payload is there: for what the
  // landing area can hold when the messages are there, else a limit's worth.
  std::uint8_t* room = nullptr;
  std::size_t room_size = 0;
  std::size_t taken = 0;
  // Bytes of the stream used up, frame headers included: empty messages
  // take no room, but the call still ends after about a piece's worth.
  std::size_t consumed = 0;
  const auto stop = [&](Taken why) {
    out.commit(taken);
    if (has_buffered() && ahead_begin_ == ahead_end_) release_ahead();
    // The relay waits next: for as long as the client takes.
    if (why == Taken::drained && has_buffered()) make_room(true);
    return why;
  };
  for (;;) {
    if (!frames_ || frame_left_ != 0 || read_failure_) return stop(Taken::other);
    if (consumed >= limit) return stop(Taken::full);
    if (header_ready()) {
      const std::uint8_t* frame = ahead() + ahead_begin_;
      // Final, no reserved bits, Binary; masked, as every client frame must be.
      if (frame[0] != 0x82 || (frame[1] & 0x80) == 0) return stop(Taken::other);
      const std::size_t header = header_size();
      const std::uint64_t length = frame_size() - header;
      // A length not in its shortest form is the WebSocket layer's to refuse.
      const std::size_t form = frame[1] & 0x7F;
      if ((form == 126 && length < 126) || (form == 127 && length < 65536)) return stop(Taken::other);
      // Never taken whole: the WebSocket layer reads it in parts.
      if (length > limit || length > std::max(ahead_capacity_, read_ahead_size) - header) return stop(Taken::other);
      if (length > limit - out.size() - taken) return stop(Taken::full);
      if (buffered() >= header + length) {
        if (length > room_size - taken) {
          // More came since the room was prepared: what is taken goes first.
          if (room) return stop(Taken::full);
          room_size = heap_ ? limit - out.size() : std::min(limit - out.size(), landing_.size());
          room = static_cast<std::uint8_t*>(out.prepare(room_size).data());
        }
        std::uint8_t key[4];
        std::memcpy(key, frame + header - 4, 4);
        unmask_copy(frame + header, room + taken, static_cast<std::size_t>(length), key);
        taken += static_cast<std::size_t>(length);
        ahead_begin_ += header + static_cast<std::size_t>(length);
        bytes_read_ += header + length;
        consumed += header + static_cast<std::size_t>(length);
        continue;
      }
    }
    // The rest of the frame is needed: what the socket holds now.
    if (!socket_may_hold_) return stop(Taken::drained);
    const std::size_t before = buffered();
    const auto ec = fill_more();
    if (ec == asio::error::would_block) return stop(Taken::drained);
    if (ec) {
      read_failure_ = ec;
      return stop(Taken::other);
    }
    if (buffered() == before) return stop(Taken::other);  // no room to read into
  }
}

asio::awaitable<boost::system::error_code> ClientStream::wait_readable() {
  // The wait is a receive, which the event loop makes when the socket becomes
  // readable: a bare readiness wait costs one more system call, to arm it.
  // Nothing held: into the landing area, so that an idle connection holds
  // no heap buffer.
  // Part of a frame held: after it, with room for the rest of that frame
  // only, so that a client that stops there holds no more than the frame.
  std::uint8_t* into = landing_.data();
  std::size_t room = landing_.size();
  if (has_buffered()) {
    const std::size_t held = buffered();
    room = make_room(true);
    into = ahead() + held;
  }
  // After a burst that filled the landing area, the heap buffer takes the
  // next one whole. A receive into no room would complete at once (the
  // buffer full of a frame's part: take_messages() stops before that).
  if (room == 0 || (!has_buffered() && landing_filled_)) {
    auto [ec] = co_await socket_.async_wait(socket_type::wait_read, asio::as_tuple(asio::use_awaitable));
    if (!ec) socket_may_hold_ = true;
    co_return ec;
  }
  receiving_ = true;
  auto [ec, n] = co_await socket_.async_read_some(asio::buffer(into, room), asio::as_tuple(asio::use_awaitable));
  receiving_ = false;
  received_.cancel();  // a waiting read goes on from the event loop, after what follows here
  if (ec) {
    read_failure_ = ec;  // the WebSocket layer's next read reports it
    co_return ec;
  }
  if (!has_buffered()) {
    landed_ = true;
    ahead_begin_ = ahead_end_ = 0;
    ahead_capacity_ = landing_.size();
    landing_filled_ = n == room;
  }
  ahead_end_ += n;
  socket_may_hold_ = n == room;  // a receive that left room found the socket drained
  co_return boost::system::error_code();
}

bool ClientStream::next_message_ready() const {
  if (!frames_ || frame_left_ != 0 || !header_ready()) return false;
  const std::uint8_t first = ahead()[ahead_begin_];
  const std::uint8_t opcode = first & 0x0F;
  return (first & 0x80) != 0 && (opcode == 1 || opcode == 2) && buffered() >= frame_size();
}

}  // namespace quillgate::proxy
