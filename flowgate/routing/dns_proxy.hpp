#pragma once

// Answers the tunnel's DNS queries. Each A query is first asked of the
// physical network's resolvers; an answer whose addresses are all private,
// loopback, link-local or GeoIP-direct is written back locally, anything else
// is sent as the original query through a node of the region most answer
// addresses belong to. Other query types get an empty answer at once. Nothing
// is cached.

#include "flowgate/config/records.hpp"
#include "flowgate/routing/geoip_table.hpp"
#include "flowgate/routing/packet_metadata.hpp"
#include "runtime/async.hpp"
#include "runtime/bytes.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace flowgate {

class DNSProxy : public runtime::Serialized, public std::enable_shared_from_this<DNSProxy> {
 public:
  static constexpr std::uint16_t dnsPort = 53;
  using Servers = std::unordered_set<std::uint32_t>;
  // Queries being asked upstream at once; more are answered "server failure".
  static constexpr std::size_t maxQueriesInFlight = 256;

  // Hands the query packet to a node of `region`; throws when it could not.
  using SendTunnel = std::function<runtime::Task<void>(
      runtime::SharedBytes packet, PacketMetadata metadata, std::string region)>;
  // Writes one IP packet into the interface.
  using Deliver = std::function<void(runtime::SharedBytes packet)>;
  // One upstream exchange: the response datagram, or a throw.
  using UpstreamQuery = std::function<runtime::Task<std::vector<std::uint8_t>>(
      std::vector<std::uint8_t> message, std::string resolver, std::chrono::milliseconds timeout)>;

  // Throws ProtocolError::invalidAddress unless every server is a distinct
  // dotted quad (and there is at least one). `upstream` defaults to
  // udpUpstream(dnsPort). Given a strand, the proxy runs on it (the packet
  // loop's engine strand); else on a strand of its own.
  static std::shared_ptr<DNSProxy> create(const runtime::Executor& executor,
                                          ExtensionDNSConfig config, GeoIPTable geoIP,
                                          SendTunnel sendTunnel, Deliver deliver,
                                          UpstreamQuery upstream = {});

  // Handles one packet; never fails. Anything but a query to a server address
  // on port 53 is dropped.
  runtime::Task<void> process(runtime::SharedBytes packet);
  // The same for a packet parsed already, from a caller on the proxy's strand.
  runtime::Task<void> processOnStrand(runtime::SharedBytes packet, PacketMetadata metadata);

  // The tunnel's DNS servers; fixed for the proxy's life.
  const Servers& servers() const { return serverIPs_; }
  // A UDP datagram with its whole header to port 53 of one of `servers`.
  static bool isQuery(const PacketMetadata& metadata, const Servers& servers) {
    return metadata.hasUDPHeader() && metadata.flowKey.destinationPort == dnsPort &&
           servers.contains(metadata.destination);
  }

  runtime::Task<std::vector<std::string>> localResolvers() const;
  // Queries already under way keep the resolvers they started with.
  runtime::Task<void> setLocalResolvers(std::vector<std::string> resolvers);
  runtime::Task<void> setGeoIP(GeoIPTable geoIP);

  // The region for a tunnel answer: the region code of the most `region`
  // actions (the first to reach that count on a tie), else `defaultRegion`.
  static std::string selectRegion(std::span<const std::optional<GeoIPTable::Action>> actions,
                                  std::string_view defaultRegion);

  // Resolvers in the order they are asked: 119.29.29.29, 223.5.5.5, then the
  // others as given.
  static std::vector<std::string> orderedResolvers(std::vector<std::string> resolvers);

  // Whether the address is private, loopback, link-local or direct in `geoIP`.
  static bool isLocal(std::uint32_t address, const GeoIPTable& geoIP);

  // Sends `message` as one datagram to `resolver`:`port` from a socket of its
  // own carrying the daemon's routing mark, and returns the first datagram
  // received. Exactly one outcome wins: a send or receive error, the socket's
  // failure, or ProtocolError::connectionTimedOut after `timeout` (also for
  // an empty datagram). Runs on the caller's executor.
  static runtime::Task<std::vector<std::uint8_t>> queryUDP(std::vector<std::uint8_t> message,
                                                           std::string resolver,
                                                           std::chrono::milliseconds timeout,
                                                           std::uint16_t port = dnsPort);
  // queryUDP with a fixed port, as an UpstreamQuery; its queries share one
  // receive buffer, so they must all run on one strand (the proxy's).
  static UpstreamQuery udpUpstream(std::uint16_t port);

 private:
  DNSProxy(const runtime::Executor& executor, ExtensionDNSConfig config, GeoIPTable geoIP,
           SendTunnel sendTunnel, Deliver deliver, UpstreamQuery upstream);

  struct Query;

  runtime::Task<void> handle(std::shared_ptr<DNSProxy> self, runtime::SharedBytes packet,
                             PacketMetadata metadata);
  // Writes `message` back to the query's sender as if from the server it asked.
  void answer(const Query& query, std::span<const std::uint8_t> message) const;

  ExtensionDNSConfig config_;
  std::vector<std::string> localResolvers_;
  GeoIPTable geoIP_;
  Servers serverIPs_;
  SendTunnel sendTunnel_;
  Deliver deliver_;
  UpstreamQuery upstream_;
  std::size_t inFlight_ = 0;
};

}  // namespace flowgate
