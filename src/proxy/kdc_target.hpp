#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "expected.hpp"
#include "proxy/destination.hpp"

// Which requests go to the KDC proxy, and which KDC they name. The proxy
// answers on the paths /KdcProxy and /KdcProxy/<kdc> (a query is ignored);
// <kdc> is percent-decoded and is "host", "host:port", "[v6]" or
// "[v6]:port". Without it, the message's realm is the KDC's host name.
namespace quillgate::proxy {

inline constexpr std::string_view kdc_proxy_path = "/KdcProxy";
inline constexpr std::uint16_t default_kdc_port = 88;

// The request target (as in the request line) is the KDC proxy's.
bool is_kdc_proxy_target(std::string_view target);

// The bytes received so far begin a request line whose target is the KDC
// proxy's (origin form: "METHOD /KdcProxy..."). False while too little has
// arrived to tell.
bool begins_kdc_proxy_request(std::string_view received);

// The bytes received so far could still become a KDC proxy request line:
// too little has arrived to tell either way ("POS", "POST /Kdc").
bool may_begin_kdc_proxy_request(std::string_view received);

// The KDC named in a KDC proxy target, port 88 when none is given; nullopt
// when the target names none. An error text when the name is not one.
Expected<std::optional<Destination>> kdc_from_target(std::string_view target);

// The realm as the KDC's host name, port 88 (an Active Directory domain name
// resolves to its domain controllers); an error text when it is not a host
// name.
Expected<Destination> kdc_from_realm(std::string_view realm);

}  // namespace quillgate::proxy
