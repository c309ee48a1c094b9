#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <optional>

#include "expected.hpp"
#include "proxy/metrics.hpp"
#include "proxy/shutdown.hpp"
#include "proxy/workers.hpp"

namespace quillgate::proxy {

// Accepts connections until the shutdown signal arrives (success) or the
// listener fails ("accept 失败: ..."). A failure to accept one connection
// (the peer left, or descriptors or memory ran short for a moment) does not
// end the loop. Each connection is named, registered and handed to its own
// task on the next of the worker loops.
boost::asio::awaitable<std::optional<Error>> run_server(boost::asio::ip::tcp::acceptor listener,
                                                        WorkerLoops& workers,
                                                        std::shared_ptr<Metrics> metrics,
                                                        ShutdownSignal::Receiver shutdown);

}  // namespace quillgate::proxy
