// Node sessions while every DNS lookup of the process hangs.

#include "flowgate/errors/protocol_error.hpp"
#include "runtime/spawn.hpp"
#include "session_fixture.hpp"
#include "tests/support/net/hanging_resolver.hpp"

using namespace sessiontest;
using flowgate::ProtocolError;

class HangingLookupSessionTest : public SessionTest {
 protected:
  // Once per process; a failure here fails the test rather than skipping it.
  void SetUp() override { static testsupport::HangingResolver resolver; }
};

TEST_F(HangingLookupSessionTest, TheStartTimeoutBoundsTheLookupAndNothingWaitsBehindIt) {
  auto relay = startRelay();
  auto hanging = ExtensionNode{
      1, "n",
      std::string(testsupport::HangingResolver::hangingName) + ":" + std::to_string(relay->port()),
      "relay-a", 0};
  std::optional<runtime::ErrorCode> slowError;
  auto credential = lab->credential(deviceID, tunnelText);
  flowgate::SessionOptions options{.startTimeout = std::chrono::milliseconds(1500),
                                   .routingMark = {}};
  runtime::spawn(io.get_executor(), [&]() -> runtime::Task<void> {
    try {
      std::vector path{hanging};
      auto bundle = bundleFor(*lab);
      co_await Session::connect(io.get_executor(), path, credential, deviceID, bundle, {}, options);
      slowError = runtime::ErrorCode();
    } catch (const runtime::SystemError& e) {
      slowError = e.code();
    }
  });
  runFor(std::chrono::milliseconds(100));
  // A node given by address connects while that lookup hangs.
  auto session = connect({node(2, relay->port())});
  EXPECT_TRUE(await(session->isActive()));
  EXPECT_FALSE(slowError);
  ASSERT_TRUE(runUntil([&] { return slowError.has_value(); }, std::chrono::seconds(5)));
  EXPECT_EQ(*slowError, ProtocolError::connectionTimedOut) << slowError->message();
}
