#include "proxy/session.hpp"

#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quillgate::proxy {

namespace asio = boost::asio;

// Placeholder until the RDCleanPath session lands: holds the connection open,
// discarding what arrives, until the peer closes it.
asio::awaitable<std::optional<Error>> handle_connection(asio::ip::tcp::socket client, std::string,
                                                        std::shared_ptr<Metrics>) {
  std::array<char, 4096> sink;
  for (;;) {
    auto [ec, n] = co_await client.async_read_some(asio::buffer(sink), asio::as_tuple(asio::use_awaitable));
    if (ec) co_return std::nullopt;
  }
}

}  // namespace quillgate::proxy
