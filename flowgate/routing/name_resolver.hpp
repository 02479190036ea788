#pragma once

// The daemon's own name lookups (node and control hosts): A queries on marked
// sockets to the physical network's resolvers, never the system's resolver,
// which is the tunnel's own DNS while the tunnel runs. The first resolver that
// answers with addresses wins; each query has a deadline and a failed one
// moves on to the next resolver. Answers are kept until the resolvers are set
// again (a start, a network change). Thread-safe.

#include "flowgate/routing/dns_proxy.hpp"
#include "platform/connector.hpp"
#include "runtime/async.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace flowgate {

class NameResolver : public std::enable_shared_from_this<NameResolver> {
 public:
  using Addresses = std::vector<boost::asio::ip::address_v4>;
  static constexpr std::chrono::milliseconds queryTimeout{2000};
  // Names kept at most; a full cache starts over.
  static constexpr std::size_t maxCachedNames = 64;

  // `upstream` defaults to DNSProxy::udpUpstream(DNSProxy::dnsPort).
  static std::shared_ptr<NameResolver> create(DNSProxy::UpstreamQuery upstream = {});

  // The resolvers to ask, in DNSProxy::orderedResolvers' order; every kept
  // answer is forgotten. An empty list keeps the current resolvers.
  void setResolvers(std::vector<std::string> resolvers);

  // The name's addresses. Throws asio::error::host_not_found when no resolver
  // answered with one, asio::error::timed_out when `deadline` came first.
  runtime::Task<Addresses> lookup(std::string host, std::chrono::steady_clock::time_point deadline);

  // lookup() for the connector; holds the resolver.
  platform::NameLookup hook();

  explicit NameResolver(DNSProxy::UpstreamQuery upstream);  // use create()

 private:
  static runtime::Task<Addresses> resolve(std::shared_ptr<NameResolver> self, std::string host,
                                          std::chrono::steady_clock::time_point deadline);

  DNSProxy::UpstreamQuery upstream_;
  std::mutex mutex_;
  std::vector<std::string> resolvers_;
  std::map<std::string, Addresses> cache_;
  std::uint64_t generation_ = 0;  // bumped by setResolvers
};

}  // namespace flowgate
