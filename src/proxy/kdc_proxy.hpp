#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "expected.hpp"
#include "proxy/client_stream.hpp"
#include "proxy/metrics.hpp"

// The KDC proxy (MS-KKDCP) on the gateway's port: a web page cannot open TCP
// to a KDC, so a browser RDP client sends its Kerberos messages here as HTTP
// POSTs. Each request is one connection: one KDC-PROXY-MESSAGE in, the KDC's
// one answer out, then the connection closes. The session (session.cpp)
// reads every connection's first request and hands the KDC proxy's here.
namespace quillgate::proxy {

using RequestHeadParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

// How long a client has, from the start of its connection, to send a KDC
// proxy request, head and body. MIT's and IronRDP's clients send the whole
// request at once, a few KiB at most, from this machine or through a front
// on it; ten seconds leave room for a loaded machine and keep a client that
// trickles its head or body, or stops, from holding its connection for long.
inline constexpr auto kdc_request_time_limit = std::chrono::seconds(10);

// Completes when `deadline` passes while the head being read into `head`
// from `received` is a KDC proxy request's: its request line, parsed or
// still in `received`, names the KDC proxy. Otherwise waits until it is
// cancelled. Raced against the reading of a request head, it bounds KDC
// proxy requests alone: an upgrade request has no time limit, and until the
// request line names the KDC proxy nothing tells the two apart.
boost::asio::awaitable<void> kdc_request_deadline(const boost::beast::flat_buffer& received,
                                                  const RequestHeadParser& head,
                                                  std::chrono::steady_clock::time_point deadline);

// Serves one KDC proxy request whose head has been read into `head`
// (`head_error`: how that ended; timed_out when `deadline` passed first),
// `buffer` holding what followed it. Requests it can answer end in success
// after its own diagnostic line; a client that leaves before its answer, or
// a failed answer, comes back as an error value for the connection task.
boost::asio::awaitable<std::optional<Error>> serve_kdc_proxy(ClientStream& client, boost::beast::flat_buffer& buffer,
                                                             RequestHeadParser& head,
                                                             boost::system::error_code head_error,
                                                             const std::string& id, Metrics& metrics,
                                                             std::chrono::steady_clock::time_point deadline);

}  // namespace quillgate::proxy
