// The daemon's own name lookups against a scripted upstream: which answer
// wins, how long it is kept, and how a lookup fails.

#include "flowgate/routing/name_resolver.hpp"
#include "tests/support/async/await_task.hpp"
#include "tests/support/dns/dns_messages.hpp"

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <stdexcept>

using namespace flowgate;
using namespace std::chrono_literals;
namespace errors = boost::asio::error;

TEST(NameResolver, TheFirstAnswerWithAddressesWinsAndIsKeptUntilTheResolversAreSetAgain) {
  enum Reply { fail, wrongID, refused, empty, answer };
  std::vector<Reply> replies{fail, wrongID, refused, empty, answer};  // of 192.0.2.1 to .5
  std::vector<std::string> asked;
  auto resolver = NameResolver::create(
      [&](std::vector<std::uint8_t> query, std::string server,
          std::chrono::milliseconds) -> runtime::Task<std::vector<std::uint8_t>> {
        asked.push_back(server);
        auto response = dns_test::response(query, {dns_test::a(dns_test::ip(198, 51, 100, 7))});
        auto reply = replies.at(server.back() - '1');
        if (reply == fail) throw std::runtime_error("timed out");
        if (reply == wrongID) response[0] ^= 1;
        if (reply == refused) response[3] |= 5;
        if (reply == empty) response = dns_test::response(query, {});
        co_return response;
      });
  boost::asio::io_context io;
  auto lookup = [&](const std::string& name, std::chrono::seconds within = 5s) {
    return testsupport::settle(io,
                               resolver->lookup(name, std::chrono::steady_clock::now() + within));
  };
  auto errorOf = [&](const std::string& name, std::chrono::seconds within = 5s) {
    return lookup(name, within).errorAs<boost::system::system_error>().value().code();
  };

  // No resolvers known: nobody is asked, the system's resolver neither.
  EXPECT_EQ(errorOf("relay3.lab.example"), errors::host_not_found);
  EXPECT_TRUE(asked.empty());

  resolver->setResolvers({"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"});
  EXPECT_EQ(lookup("relay3.lab.example").get().at(0).to_string(), "198.51.100.7");
  EXPECT_EQ(lookup("relay3.lab.example").get().at(0).to_string(), "198.51.100.7");
  EXPECT_EQ(asked.size(), 5u);
  // A network change where no resolvers were found: they stay, the answers go.
  resolver->setResolvers({});
  EXPECT_EQ(lookup("relay3.lab.example").get().at(0).to_string(), "198.51.100.7");
  EXPECT_EQ(asked.size(), 10u);

  replies[4] = empty;
  EXPECT_EQ(errorOf("control.lab.example"), errors::host_not_found);
  EXPECT_EQ(errorOf("relay3..example"), errors::host_not_found);
  EXPECT_EQ(errorOf("control.lab.example", -1s), errors::timed_out);
  EXPECT_EQ(asked.size(), 15u);
}
