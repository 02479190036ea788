// The daemon's own name lookups against scripted resolvers: which answer wins,
// how long it is kept, and how a lookup fails.

#include "flowgate/routing/name_resolver.hpp"
#include "tests/support/async/await_task.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <map>
#include <stdexcept>

using namespace flowgate;
using namespace std::chrono_literals;
using dns_test::Bytes;

namespace {

enum class Reply { fail, wrongID, refused, noAddresses, addresses };

struct Script {
  std::map<std::string, Reply> replies;  // by resolver
  std::vector<std::string> asked;

  DNSProxy::UpstreamQuery upstream() {
    return [this](std::vector<std::uint8_t> message, std::string resolver,
                  std::chrono::milliseconds timeout) -> runtime::Task<std::vector<std::uint8_t>> {
      EXPECT_LE(timeout, NameResolver::queryTimeout);
      asked.push_back(resolver);
      auto response = dns_test::response(message, {dns_test::a(dns_test::ip(198, 51, 100, 7))});
      switch (replies[resolver]) {
        case Reply::fail: throw std::runtime_error("timed out");
        case Reply::wrongID: response[0] ^= 1; break;
        case Reply::refused: response[3] |= 5; break;
        case Reply::noAddresses: response = dns_test::response(message, {}); break;
        case Reply::addresses: break;
      }
      co_return response;
    };
  }
};

using Outcome = testsupport::Outcome<NameResolver::Addresses>;

Outcome lookup(NameResolver& resolver, const std::string& name,
               std::chrono::steady_clock::duration within = 5s) {
  boost::asio::io_context io;
  return testsupport::settle(io, resolver.lookup(name, std::chrono::steady_clock::now() + within));
}

boost::system::error_code errorOf(const Outcome& outcome) {
  auto error = outcome.errorAs<boost::system::system_error>();
  return error ? error->code() : boost::system::error_code();
}

}  // namespace

TEST(NameResolver, TheFirstAnswerWithAddressesWinsAndIsKeptUntilTheResolversAreSetAgain) {
  Script script;
  script.replies = {{"192.0.2.1", Reply::fail},      {"192.0.2.2", Reply::wrongID},
                    {"192.0.2.3", Reply::refused},   {"192.0.2.4", Reply::noAddresses},
                    {"192.0.2.5", Reply::addresses}, {"192.0.2.6", Reply::addresses}};
  auto resolver = NameResolver::create(script.upstream());
  resolver->setResolvers(
      {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5", "192.0.2.6"});

  const NameResolver::Addresses expected{boost::asio::ip::make_address_v4("198.51.100.7")};
  EXPECT_EQ(lookup(*resolver, "relay3.lab.example").get(), expected);
  EXPECT_EQ(script.asked.size(), 5u);
  EXPECT_EQ(lookup(*resolver, "relay3.lab.example").get(), expected);
  EXPECT_EQ(script.asked.size(), 5u);

  // A network change: the resolvers stay (none were found), the answer goes.
  resolver->setResolvers({});
  EXPECT_EQ(lookup(*resolver, "relay3.lab.example").get(), expected);
  EXPECT_EQ(script.asked.size(), 10u);
}

TEST(NameResolver, ALookupFailsWhenNoResolverAnswersOrTimeIsUp) {
  Script script;
  script.replies = {{"192.0.2.1", Reply::fail}, {"192.0.2.2", Reply::noAddresses}};
  auto resolver = NameResolver::create(script.upstream());
  EXPECT_EQ(errorOf(lookup(*resolver, "relay3.lab.example")), boost::asio::error::host_not_found);
  EXPECT_TRUE(script.asked.empty());  // no resolvers known: the system's is never asked

  resolver->setResolvers({"192.0.2.1", "192.0.2.2"});
  EXPECT_EQ(errorOf(lookup(*resolver, "relay3.lab.example")), boost::asio::error::host_not_found);
  EXPECT_EQ(script.asked.size(), 2u);
  EXPECT_EQ(errorOf(lookup(*resolver, "relay3..example")), boost::asio::error::host_not_found);
  EXPECT_EQ(errorOf(lookup(*resolver, "relay3.lab.example", -1s)), boost::asio::error::timed_out);
  EXPECT_EQ(script.asked.size(), 2u);
}
