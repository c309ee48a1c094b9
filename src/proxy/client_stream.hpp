#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quillgate::proxy {

// The client's TCP connection as the WebSocket layer sees it. It differs from
// the bare socket in two ways, both to make fewer system calls per message.
//
// Reads. While the client streams, a read smaller than the read-ahead size is
// served from a buffer filled with whatever the socket holds, up to 128 KiB.
// The WebSocket layer reads a frame header and then its payload, two receive
// calls per frame on a bare socket; a stream of 16 KiB frames now costs about
// one call per seven frames. The relay takes the client's messages in pieces
// of 64 KiB: a buffer of twice that holds a piece with its frame headers and
// the start of the next message, so that a receive brings a piece or more
// (with 64 KiB, the rest of a piece's last message took a receive of its
// own). The buffer is on the heap only while it holds bytes, so an idle
// connection pays nothing for it: what the relay's wait between messages
// receives lands in a 512-byte area inside the stream, which serves as the
// buffer until the next read while the client streams. A client that stops
// mid-frame holds no more than that frame: what is held while the socket is
// waited on is kept in the landing area when it fits there, else in a block
// of the frame's size. Once the socket runs dry, the WebSocket layer's reads
// go straight to the socket again (the caller's buffer, no extra hand-off)
// until one fills the buffer it was given.
//
// Writes. They go straight to the socket, but between hold_writes() and flush():
// then each write is copied into an outgoing buffer and reported complete at
// once, and flush() sends everything held, in order, with as few calls as
// the socket allows, so that small messages already here leave together. A
// write made while the flush is under way waits for it to end and then goes
// to the socket: it cannot overtake or interleave with the held bytes, and a
// client that stops reading still holds back every writer (its Pongs
// included) as a bare socket would, instead of making the held buffer grow.
// The WebSocket layer's teardown, once both Close frames are out, sends what
// is held, then shuts the socket down and closes it at once.
class ClientStream {
 public:
  using socket_type = boost::asio::ip::tcp::socket;
  using executor_type = socket_type::executor_type;
  using next_layer_type = socket_type;
  using lowest_layer_type = socket_type::lowest_layer_type;

  static constexpr std::size_t read_ahead_size = 128 * 1024;

  // The socket is switched to non-blocking mode for filling the read-ahead
  // buffer without waiting.
  explicit ClientStream(socket_type socket);

  executor_type get_executor() { return socket_.get_executor(); }
  socket_type& next_layer() { return socket_; }
  lowest_layer_type& lowest_layer() { return socket_.lowest_layer(); }

  void hold_writes() { holding_ = true; }
  bool holding() const { return holding_; }
  // Bytes held for the next flush, frame headers and the WebSocket layer's
  // own frames included.
  std::size_t held() const { return outgoing_.size(); }
  // Sends everything held, then writes go straight to the socket again. On
  // failure whatever was held is dropped, and later writes fail too.
  boost::asio::awaitable<boost::system::error_code> flush();

  // Bytes have been read from the socket that the WebSocket layer has not
  // taken yet: the client is streaming.
  bool has_buffered() const { return heap_ || landed_; }
  // The heap the read-ahead buffer takes now: none for the landing area.
  std::size_t heap_held() const { return heap_ ? ahead_capacity_ : 0; }

  // From now on (the WebSocket handshake done) the stream is read as frames:
  // no read goes past the end of the frame it starts in, so that what the
  // WebSocket layer has not asked for yet stays here, where it can be seen.
  void read_frames() { frames_ = true; }

  // The next frame is here whole and is a complete Binary or Text message:
  // a read for it completes without waiting.
  bool next_message_ready() const;

  // Why take_messages() stopped.
  enum class Taken {
    full,     // the next message does not fit what is left of the limit (or
              // of the room prepared for the messages that were here at
              // first), or a limit's worth of the stream has been used up
    drained,  // the socket holds nothing more for now
    other,    // the next frame is the WebSocket layer's to read
  };

  // Takes whole Binary messages (each a single final frame) from the
  // read-ahead buffer and from what the socket holds now, without waiting,
  // while `out` stays within `limit`: unmasked into `out`, one pass over the
  // bytes, without the WebSocket layer's per-frame steps. Only between
  // messages. It stops at anything else (a control frame, a Text message, a
  // message in fragments or too large for the buffer, a frame the layer
  // would refuse), which the WebSocket layer then reads as usual. A failure
  // of the socket is kept for that read, which reports it.
  Taken take_messages(boost::beast::flat_buffer& out, std::size_t limit);

  // Waits until the socket has something to read, and reads it into the
  // read-ahead buffer. A failure (the end of the stream too) is returned,
  // and kept for the WebSocket layer's next read, which reports it. Only
  // between reads of the WebSocket layer's: one that starts meanwhile (its
  // Close) waits for the receive.
  boost::asio::awaitable<boost::system::error_code> wait_readable();

  // Bytes read from the client so far, by the WebSocket layer or taken.
  std::uint64_t bytes_read() const { return bytes_read_; }

  // Bytes read through this stream by someone else that belong to what
  // follows (received after the upgrade request): the next reads return
  // them first, then what the read-ahead buffer held.
  void put_back(boost::asio::const_buffer bytes);

  // Sends what is held, waiting for a flush under way to end first, then
  // ends the connection: the WebSocket layer tears down once both Close
  // frames are out (or it gives up on the client), so nothing more is to be
  // read. Unlike the layer's own teardown it does not wait for the client to
  // close TCP first: a client that never does keeps nothing.
  template <class Token>
  auto async_teardown([[maybe_unused]] boost::beast::role_type role, Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code)>(TeardownOp{*this}, token, socket_);
  }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        ReadOp<MutableBuffers>{*this, buffers}, token, socket_);
  }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        WriteOp<ConstBuffers>{*this, buffers}, token, socket_);
  }

 private:
  // Copies buffered bytes into `buffers`, releasing the buffer once empty.
  template <class MutableBuffers>
  std::size_t take_buffered(const MutableBuffers& buffers) {
    const std::size_t n =
        boost::asio::buffer_copy(buffers, boost::asio::buffer(ahead() + ahead_begin_, ahead_end_ - ahead_begin_));
    ahead_begin_ += n;
    if (ahead_begin_ == ahead_end_) release_ahead();
    return n;
  }

  // Reads what the socket holds into a fresh read-ahead buffer without
  // waiting; would_block (buffer released) when it holds nothing.
  boost::system::error_code fill_now();
  // The same, after what the buffer already holds; would_block when the
  // socket holds nothing.
  boost::system::error_code fill_more();
  // Moves what the buffer holds to its front, where there is room for the
  // rest of the frame it starts (up to the read-ahead size): a heap block of
  // the read-ahead size, which takes what follows the frame too. With `fit`
  // (before a wait of any length): the landing area while what is held fits
  // there, else a block of the frame's size. Returns the room after the
  // bytes held.
  std::size_t make_room(bool fit);
  std::uint8_t* ahead() { return heap_ ? heap_.get() : landing_.data(); }
  const std::uint8_t* ahead() const { return heap_ ? heap_.get() : landing_.data(); }
  void release_ahead() {
    heap_.reset();
    landed_ = false;
    ahead_begin_ = ahead_end_ = ahead_capacity_ = 0;
  }

  std::size_t buffered() const { return ahead_end_ - ahead_begin_; }
  static constexpr std::size_t max_header_size = 14;
  // The size of the frame header at the start of the buffer, once its first
  // two bytes are there (RFC 6455 5.2); 0 before.
  std::size_t header_size() const;
  bool header_ready() const {
    const std::size_t h = header_size();
    return h != 0 && buffered() >= h;
  }
  // Header and payload of the frame at the start of the buffer, whose header
  // is there.
  std::uint64_t frame_size() const;

  // How much of `buffers` a read may fill: up to the end of the current
  // frame when reading frames.
  template <class MutableBuffers>
  auto bounded(const MutableBuffers& buffers) const {
    const std::size_t wanted = boost::asio::buffer_size(buffers);
    const std::size_t limit = frames_ && frame_left_ < wanted ? static_cast<std::size_t>(frame_left_) : wanted;
    return boost::beast::buffers_prefix(limit, buffers);
  }
  void delivered(std::size_t n) {
    bytes_read_ += n;
    if (frames_) frame_left_ -= n;
  }

  template <class MutableBuffers>
  struct ReadOp {
    ClientStream& stream;
    MutableBuffers buffers;
    enum class Step { start, waited, deliver, direct } step = Step::start;
    boost::system::error_code failure{};

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
      switch (step) {
        case Step::waited:
          if (ec) return self.complete(ec, 0);
          stream.socket_may_hold_ = true;
          [[fallthrough]];
        case Step::start: {
          // The relay's wait has a receive into the read-ahead buffer under
          // way (the WebSocket layer reads for its Close meanwhile): what it
          // brings comes first, and the buffer is its until then.
          if (stream.receiving_) {
            step = Step::start;  // back here after it
            return stream.received_.async_wait(std::move(self));
          }
          if (stream.read_failure_) {
            // Met by take_messages(): reported here, once.
            failure = std::exchange(stream.read_failure_, {});
            step = Step::deliver;
            return boost::asio::post(stream.get_executor(), std::move(self));
          }
          if (stream.frames_ && stream.frame_left_ == 0) {
            // A frame starts here: its header is read into the buffer first,
            // which tells how far the reads for this frame may go.
            while (!stream.header_ready()) {
              failure = stream.fill_more();
              if (failure == boost::asio::error::would_block) {
                failure = {};
                if (stream.has_buffered()) stream.make_room(true);  // the header's part, into the landing area
                step = Step::waited;
                return stream.socket_.async_wait(socket_type::wait_read, std::move(self));
              }
              // The end of the stream, or a failure, before a whole header:
              // what came of it is dropped with the connection.
              if (failure) {
                step = Step::deliver;
                return boost::asio::post(stream.get_executor(), std::move(self));
              }
            }
            stream.frame_left_ = stream.frame_size();
          }
          const std::size_t wanted = boost::asio::buffer_size(stream.bounded(buffers));
          if (!stream.has_buffered() && stream.streaming_ && wanted < read_ahead_size) {
            failure = stream.fill_now();
            stream.streaming_ = failure != boost::asio::error::would_block;
          }
          if (stream.has_buffered() || (failure && failure != boost::asio::error::would_block)) {
            // Still inside the initiating call: complete from the event loop.
            step = Step::deliver;
            return boost::asio::post(stream.get_executor(), std::move(self));
          }
          step = Step::direct;
          return stream.socket_.async_read_some(stream.bounded(buffers), std::move(self));
        }
        case Step::deliver: {
          if (failure) return self.complete(failure, 0);
          const std::size_t taken = stream.take_buffered(stream.bounded(buffers));
          stream.delivered(taken);
          return self.complete({}, taken);
        }
        case Step::direct:
          // A read that filled its buffer suggests more is waiting.
          stream.streaming_ = !ec && n == boost::asio::buffer_size(stream.bounded(buffers));
          stream.socket_may_hold_ = stream.streaming_;
          stream.delivered(n);
          return self.complete(ec, n);
      }
    }
  };

  template <class ConstBuffers>
  struct WriteOp {
    ClientStream& stream;
    ConstBuffers buffers;
    enum class Step { start, waited, held, sent, failed } step = Step::start;
    std::size_t held = 0;

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
      switch (step) {
        case Step::waited:
          // Woken by the end of the flush, or cancelled while it still runs.
          if (stream.flushing_) return self.complete(ec ? ec : boost::asio::error::operation_aborted, 0);
          [[fallthrough]];
        case Step::start:
          if (stream.flushing_) {
            step = Step::waited;
            return stream.flushed_.async_wait(std::move(self));
          }
          if (stream.failed_) {
            step = Step::failed;
            return boost::asio::post(stream.get_executor(), std::move(self));
          }
          if (!stream.holding_) {
            step = Step::sent;
            return stream.socket_.async_write_some(buffers, std::move(self));
          }
          held = boost::asio::buffer_size(buffers);
          {
            auto& out = stream.outgoing_;
            const std::size_t at = out.size();
            out.resize(at + held);
            boost::asio::buffer_copy(boost::asio::buffer(out.data() + at, held), buffers);
          }
          step = Step::held;
          return boost::asio::post(stream.get_executor(), std::move(self));
        case Step::held:
          return self.complete({}, held);
        case Step::sent:
          return self.complete(ec, n);
        case Step::failed:
          return self.complete(stream.failed_, 0);
      }
    }
  };

  // A flush takes what is held (given up either way: sent, or lost with a
  // failed socket); its end wakes the writes that waited for it.
  std::vector<std::uint8_t> start_flush() {
    flushing_ = true;
    return std::exchange(outgoing_, {});
  }
  void end_flush(const boost::system::error_code& ec) {
    flushing_ = false;
    if (ec) failed_ = ec;
    flushed_.cancel();
  }

  // The client asked to close, so a client that resets the connection once
  // it has the answer (as browsers do when a page goes away) ends it
  // normally: the WebSocket layer takes end-of-stream for a clean close.
  static boost::system::error_code after_close(const boost::system::error_code& ec) {
    namespace error = boost::asio::error;
    if (ec == error::connection_reset || ec == error::not_connected || ec == error::broken_pipe) return error::eof;
    return ec;
  }

  struct TeardownOp {
    ClientStream& stream;
    enum class Step { start, flushed, closed, failed } step = Step::start;
    std::vector<std::uint8_t> sending{};

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t = 0) {
      switch (step) {
        case Step::start:
          if (stream.flushing_) return stream.flushed_.async_wait(std::move(self));  // back here when it ends
          stream.holding_ = false;
          if (stream.failed_) {
            step = Step::failed;
            return boost::asio::post(stream.get_executor(), std::move(self));
          }
          if (!stream.outgoing_.empty()) {
            sending = stream.start_flush();
            step = Step::flushed;
            return boost::asio::async_write(stream.socket_, boost::asio::buffer(sending), std::move(self));
          }
          break;
        case Step::flushed:
          stream.end_flush(ec);
          if (ec) return self.complete(after_close(ec));
          break;
        case Step::closed:
          return self.complete({});
        case Step::failed:
          return self.complete(after_close(stream.failed_));
      }
      // The sending side first: what the socket still holds to send goes out
      // before the FIN, and closing then is orderly too.
      boost::system::error_code ignored;
      stream.socket_.shutdown(socket_type::shutdown_send, ignored);
      stream.socket_.close(ignored);
      step = Step::closed;
      boost::asio::post(stream.get_executor(), std::move(self));
    }
  };

  socket_type socket_;
  // The read-ahead buffer: heap_, else the landing area while landed_.
  std::unique_ptr<std::uint8_t[]> heap_;
  bool landed_ = false;
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;
  std::size_t ahead_capacity_ = 0;
  bool streaming_ = false;  // the last read suggested more data is waiting
  // The last read found more than it had room for, or the socket has been
  // waited on since: a read may find more.
  bool socket_may_hold_ = true;
  boost::system::error_code read_failure_;  // for the WebSocket layer's next read
  // What wait_readable() receives when nothing is held: input events are a
  // few dozen bytes each, so a burst of them fits.
  std::array<std::uint8_t, 512> landing_;
  // wait_readable() has a receive under way into the read-ahead buffer;
  // received_ never expires, and is cancelled when the receive completes,
  // which wakes a read that waited for it.
  bool receiving_ = false;
  boost::asio::steady_timer received_;
  // The last receive into the landing area filled it: the client sends more
  // at a time than it holds, so the next wait is a bare readiness wait and
  // the heap buffer takes what came (one receive, not two).
  bool landing_filled_ = false;
  std::uint64_t bytes_read_ = 0;
  bool frames_ = false;
  std::uint64_t frame_left_ = 0;  // of the current frame, still to be read; 0 between frames
  bool holding_ = false;
  bool flushing_ = false;
  // A flush failed: the connection is broken, and every later write fails
  // the same way at once rather than touching the socket again.
  boost::system::error_code failed_;
  std::vector<std::uint8_t> outgoing_;
  // Never expires; cancelled when a flush ends, which wakes the writes that
  // waited for it.
  boost::asio::steady_timer flushed_;
};

// Closing the WebSocket: held bytes go out first (the WebSocket layer's
// Close frame is among them when it was written while holding), then the
// socket is torn down. Only the asynchronous form is used.
inline void teardown(boost::beast::role_type role, ClientStream& stream, boost::system::error_code& ec) {
  boost::beast::websocket::teardown(role, stream.next_layer(), ec);
}

template <class Handler>
void async_teardown(boost::beast::role_type role, ClientStream& stream, Handler&& handler) {
  stream.async_teardown(role, std::forward<Handler>(handler));
}

}  // namespace quillgate::proxy
