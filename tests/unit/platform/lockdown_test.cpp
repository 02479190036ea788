#include "platform/lockdown.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <stdexcept>

namespace platform {
namespace {

using runtime::ipv4::Range;

constexpr std::uint32_t address(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                std::uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

// The kernel's table as a value: what is installed, if anything.
class RecordingFirewall final : public LockdownFirewall {
 public:
  void install(const LockdownRules& rules) override {
    if (failing) throw std::runtime_error("refused");
    table = rules;
  }
  void remove() override {
    if (failing) throw std::runtime_error("refused");
    table.reset();
  }
  bool installed() override { return table.has_value(); }

  std::optional<LockdownRules> table;
  bool failing = false;
};

TEST(AllowedRanges, MergesIntoDisjointRangesAsNftablesNeedsThem) {
  auto ranges = allowedRanges({
      {"192.0.2.0", "255.255.255.128"},
      {"10.1.2.3", "255.0.0.0"},           // host bits set: the network
      {"192.0.2.128", "255.255.255.128"},  // adjacent to the first: one range
      {"192.0.2.10", "255.255.255.255"},   // inside another
      {"198.51.100.0", "255.255.255.0"},
      {"198.51.100.7", "255.255.255.248"},  // overlapping
      {"not an address", "255.255.255.0"},  // left out
  });
  EXPECT_EQ(ranges, (std::vector<Range>{{address(10, 0, 0, 0), address(10, 255, 255, 255)},
                                        {address(192, 0, 2, 0), address(192, 0, 2, 255)},
                                        {address(198, 51, 100, 0), address(198, 51, 100, 255)}}));
  // The whole space, and what follows its end, does not wrap around.
  EXPECT_EQ(allowedRanges({{"255.255.255.255", "255.255.255.255"}, {"0.0.0.0", "0.0.0.0"}}),
            (std::vector<Range>{{0, 0xFFFFFFFFu}}));
}

TEST(Lockdown, NeverOpensTheMachineExceptWhenTurnedOffOrStoppedCleanlyWhileOff) {
  auto firewall = std::make_shared<RecordingFirewall>();
  const std::vector<Range> local{{address(10, 0, 0, 0), address(10, 255, 255, 255)}};
  const std::vector<Range> run{{address(192, 0, 2, 0), address(192, 0, 2, 127)}};
  // A crashed run's block with its networks, found at start.
  firewall->table = LockdownRules{"vk0", run};
  Lockdown lockdown(firewall, "vk0", {{"10.0.0.0", "255.0.0.0"}}, true);
  lockdown.takeOver();
  EXPECT_EQ(firewall->table, (LockdownRules{"vk0", run}));

  // Each application replaces the networks whole; a clean stop keeps them.
  lockdown.allow({{"192.0.2.0", "255.255.255.128"}});
  lockdown.allow({{"198.51.100.0", "255.255.255.0"}});
  lockdown.runStopped();
  EXPECT_EQ(firewall->table->allowed,
            (std::vector<Range>{{address(198, 51, 100, 0), address(198, 51, 100, 255)}}));

  // A failed change reports itself and keeps the state the machine has.
  firewall->failing = true;
  EXPECT_THROW(lockdown.setEnabled(false), std::runtime_error);
  EXPECT_TRUE(lockdown.enabled());
  firewall->failing = false;
  lockdown.setEnabled(false);
  EXPECT_FALSE(firewall->table);
  EXPECT_FALSE(lockdown.enabled());

  // Off: a run installs nothing, and a clean stop removes a block left by others.
  lockdown.allow({{"192.0.2.0", "255.255.255.128"}});
  EXPECT_FALSE(firewall->table);
  firewall->table = LockdownRules{"vk0", local};
  lockdown.runStopped();
  EXPECT_FALSE(firewall->table);

  // On again: the last run's networks, though no run is going.
  lockdown.setEnabled(true);
  EXPECT_EQ(firewall->table, (LockdownRules{"vk0", run}));

  // A daemon that starts with lockdown on and no block installs the local one;
  // one that starts with it off removes what it finds, so it reports the truth.
  auto fresh = std::make_shared<RecordingFirewall>();
  Lockdown(fresh, "vk0", {{"10.0.0.0", "255.0.0.0"}}, true).takeOver();
  EXPECT_EQ(fresh->table, (LockdownRules{"vk0", local}));
  Lockdown(fresh, "vk0", {}, false).takeOver();
  EXPECT_FALSE(fresh->table);
}

}  // namespace
}  // namespace platform
