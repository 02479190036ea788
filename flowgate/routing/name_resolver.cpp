#include "flowgate/routing/name_resolver.hpp"

#include "flowgate/routing/dns_packet.hpp"
#include "runtime/error.hpp"

#include <boost/asio/error.hpp>

#include <random>
#include <utility>

namespace flowgate {

namespace asio = boost::asio;

std::shared_ptr<NameResolver> NameResolver::create(DNSProxy::UpstreamQuery upstream) {
  return std::make_shared<NameResolver>(std::move(upstream));
}

NameResolver::NameResolver(DNSProxy::UpstreamQuery upstream)
    : upstream_(upstream ? std::move(upstream) : DNSProxy::udpUpstream(DNSProxy::dnsPort)) {}

void NameResolver::setResolvers(std::vector<std::string> resolvers) {
  std::lock_guard lock(mutex_);
  if (!resolvers.empty()) resolvers_ = DNSProxy::orderedResolvers(std::move(resolvers));
  cache_.clear();
  ++generation_;
}

runtime::Task<NameResolver::Addresses> NameResolver::lookup(
    std::string host, std::chrono::steady_clock::time_point deadline) {
  return resolve(shared_from_this(), std::move(host), deadline);
}

runtime::Task<NameResolver::Addresses> NameResolver::resolve(
    std::shared_ptr<NameResolver> self, std::string host,
    std::chrono::steady_clock::time_point deadline) {
  std::vector<std::string> resolvers;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(self->mutex_);
    if (auto found = self->cache_.find(host); found != self->cache_.end()) {
      co_return found->second;
    }
    resolvers = self->resolvers_;
    generation = self->generation_;
  }
  // The id is the only check a reply from a resolver's address is ours.
  std::random_device random;
  const auto id = static_cast<std::uint16_t>(random());
  auto message = dns::query(id, host, dns::typeA);
  if (!message) throw runtime::SystemError(asio::error::host_not_found);

  for (const auto& resolver : resolvers) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
      throw runtime::SystemError(asio::error::timed_out);
    }
    std::vector<std::uint8_t> response;
    try {
      auto copy = *message;
      response = co_await self->upstream_(std::move(copy), resolver, std::min(left, queryTimeout));
    } catch (const std::exception&) {
      continue;
    }
    // A reply to our query (id, QR set) without error (RCODE 0), with addresses.
    if (response.size() < dns::headerSize || response[0] != (*message)[0] ||
        response[1] != (*message)[1] || (response[2] & 0x80) == 0 || (response[3] & 0x0f) != 0) {
      continue;
    }
    Addresses addresses;
    for (auto address : dns::answers(response)) addresses.emplace_back(address);
    if (addresses.empty()) continue;
    std::lock_guard lock(self->mutex_);
    // An answer from before a network change is not kept past it.
    if (generation == self->generation_) {
      if (self->cache_.size() >= maxCachedNames) self->cache_.clear();
      self->cache_[host] = addresses;
    }
    co_return addresses;
  }
  if (std::chrono::steady_clock::now() >= deadline) {
    throw runtime::SystemError(asio::error::timed_out);
  }
  throw runtime::SystemError(asio::error::host_not_found);
}

platform::NameLookup NameResolver::hook() {
  return [self = shared_from_this()](std::string host,
                                     std::chrono::steady_clock::time_point deadline) {
    return resolve(self, std::move(host), deadline);
  };
}

}  // namespace flowgate
