#pragma once

// Every socket the daemon opens is made here, as one place decides how the
// daemon's own traffic leaves the machine: the routing mark keeps it out of
// the tunnel, so a node or a resolver never routes into the tunnel it serves.

#include "runtime/async.hpp"
#include "runtime/cancel.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The mark of the daemon's own sockets; the tunnel's routing rule skips it.
inline constexpr std::uint32_t kRoutingMark = 0x7665;  // "ve"

// A host name's addresses, in the order to try, from somewhere other than the
// system's resolver (which, while the tunnel runs, is the tunnel's own DNS);
// ends by `deadline`, as a cancelled attempt waits for it. Throws the
// platform's error.
using NameLookup = std::function<runtime::Task<std::vector<boost::asio::ip::address_v4>>(
    std::string host, std::chrono::steady_clock::time_point deadline)>;

struct SocketOptions {
  std::optional<std::uint32_t> routingMark;  // SO_MARK (needs CAP_NET_ADMIN)
  bool keepAlive = false;                    // idle 15 s, interval 5 s, count 3
  bool noDelay = false;
  NameLookup nameLookup = {};  // none: the system's resolver
};

// An IPv4 UDP socket carrying the options' mark.
boost::asio::ip::udp::socket openUDP(const runtime::Executor& executor,
                                     const SocketOptions& options);

// Resolves `host`, opens, applies the options and connects, trying each address
// in order, all within `timeout`; the socket is bound to `executor`. An IP
// literal never touches the resolver; a name goes to the options' nameLookup
// when there is one, else it is looked up on a thread of its own, so a lookup
// that hangs delays nothing else, and the deadline abandons it without waiting. Throws the
// platform's error; a missed deadline is boost::asio::error::timed_out; a cancelled attempt throws
// runtime::CancellationError.
runtime::Task<boost::asio::ip::tcp::socket> connectTCP(runtime::Executor executor, std::string host,
                                                       std::uint16_t port, SocketOptions options,
                                                       std::chrono::steady_clock::duration timeout,
                                                       runtime::CancelToken cancel = {});

}  // namespace platform
