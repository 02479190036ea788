// Batched rtnetlink requests against a real kernel (in a namespace of the
// test's own): a refused request is reported by its place in the batch with
// the kernel's reason, and the requests around it still take effect.

#include "platform/netlink_socket.hpp"
#include "tests/support/netns/namespace.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>

using namespace testsupport;

TEST(NetlinkSocket, ReportsARefusedRequestByItsPlaceWithTheKernelsReason) {
  if (!namespacesAvailable()) GTEST_SKIP() << "needs root and ip netns";
  Namespace ns("netlink");
  std::vector<platform::NetlinkFailure> failures;
  ns.run([&] {
    platform::NetlinkSocket socket;
    platform::NetlinkBatch batch;
    // The middle destination has host bits beyond its prefix length.
    for (auto [address, length] :
         {std::pair{0xCB007100u, 24u}, {0xC6336405u, 24u}, {0xC6120000u, 15u}}) {
      auto* message = batch.begin(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL);
      auto* route = platform::putHeader<rtmsg>(message);
      route->rtm_family = AF_INET;
      route->rtm_dst_len = static_cast<unsigned char>(length);
      route->rtm_table = 77;
      route->rtm_protocol = RTPROT_STATIC;
      route->rtm_type = RTN_THROW;
      mnl_attr_put_u32(message, RTA_DST, htonl(address));
      batch.end(message);
    }
    failures = socket.transact(batch);
  });
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].index, 1u);
  EXPECT_EQ(failures[0].error, EINVAL);
  EXPECT_NE(failures[0].reason.find("prefix"), std::string::npos) << failures[0].reason;
  EXPECT_EQ(ns.must("ip route show table 77"),
            "throw 198.18.0.0/15 proto static \nthrow 203.0.113.0/24 proto static \n");
  try {
    platform::throwOnFailure(failures,
                             [](std::size_t index) { return "route " + std::to_string(index); });
    FAIL();
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code().value(), EINVAL);
    EXPECT_EQ(std::string(error.what()).rfind("route 1 (" + failures[0].reason + ")", 0), 0u)
        << error.what();
  }
}
