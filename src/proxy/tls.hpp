#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <optional>
#include <string>

#include "asn1.hpp"

namespace quillgate::proxy {

using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

// The outcome of turning the server connection into a TLS client connection.
struct TlsUpgrade {
  enum class Failure { none, context, handshake };
  Failure failure = Failure::none;
  std::string error;                // the TLS library's text, when failed
  std::optional<TlsStream> stream;  // when succeeded
  asn1::Bytes certificate;          // the server's own certificate in DER, or the placeholder
};

// Runs the TLS client handshake over `server` with a context built for this
// connection alone: TLS 1.2 or later, no verification of the server's
// certificate or name, SNI only when `host` is a name rather than an address.
boost::asio::awaitable<TlsUpgrade> upgrade_to_tls(boost::asio::ip::tcp::socket server, const std::string& host);

}  // namespace quillgate::proxy
