#pragma once

// TLS and socket settings of node connections: TLS 1.3 only, node certificates
// verified against the trust bundle's authorities and nothing else, the server
// name checked when one is configured; keep-alive and no-delay on the socket.

#include "flowgate/control/trust_bundle.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace flowgate {

// Throws the trust bundle's error when its certificates cannot be built.
boost::asio::ssl::context makeNodeTLSContext(const TrustBundle& bundle);

// SNI and host-name verification for a configured server name (an IPv4 literal
// is verified as an address and not sent as SNI). Throws on OpenSSL failure.
void setNodeServerName(boost::asio::ssl::stream<boost::asio::ip::tcp::socket>& stream,
                       const std::string& serverName);

// Keep-alive idle 15 s, interval 5 s, count 3; no-delay; and the routing mark
// that keeps our own traffic out of the tunnel. Call after open, before connect.
void applyNodeSocketOptions(boost::asio::ip::tcp::socket& socket,
                            std::optional<std::uint32_t> mark);

}  // namespace flowgate
