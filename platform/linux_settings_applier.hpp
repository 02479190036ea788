#pragma once

// The tunnel's settings on Linux: interface and policy routing by rtnetlink,
// the marks that bring replies to the daemon's own connections back outside,
// DNS through the configurator the machine calls for (put back whenever
// another program rewrites its file). The first apply removes what a crashed
// daemon left behind. The blocking work runs on the worker thread (its own
// unless given one to share), one call at a time; the sockets are opened by
// the constructor, so everything happens in the network namespace current
// there.

#include "platform/blocking_worker.hpp"
#include "platform/dns_configurator.hpp"
#include "platform/lockdown.hpp"
#include "platform/netlink_routing.hpp"
#include "platform/reply_marks.hpp"
#include "platform/settings_applier.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <atomic>
#include <memory>
#include <string>

namespace platform {

class LinuxSettingsApplier final : public SettingsApplier {
 public:
  // `ipv6Guard`: while the settings are applied, IPv6 that would leave outside
  // the tunnel is refused (NetlinkRouting::installIPv6Guard).
  // `lockdown`: told the excluded routes at each apply and of a clean removal.
  LinuxSettingsApplier(std::string interfaceName, std::unique_ptr<DNSConfigurator> dns,
                       bool ipv6Guard = false,
                       std::shared_ptr<BlockingWorker> worker = std::make_shared<BlockingWorker>(),
                       std::shared_ptr<Lockdown> lockdown = nullptr);
  ~LinuxSettingsApplier() override;

  runtime::Task<void> apply(NetworkSettings settings) override;
  runtime::Task<void> remove() override;

  // The same work, blocking the calling thread (for tools and benchmarks).
  void applyNow(const NetworkSettings& settings);
  void removeNow();
  // Removes a crashed daemon's leftovers; apply() does it once by itself.
  void removeLeftovers();

 private:
  std::string interfaceName_;
  std::unique_ptr<DNSConfigurator> dns_;
  bool ipv6Guard_ = false;
  std::shared_ptr<Lockdown> lockdown_;
  NetlinkRouting routing_;
  ReplyMarks replyMarks_;
  // inotify on the folder of the DNS backend's file, read on the worker. The
  // watch outlives us when the worker does: once stopped it touches nothing.
  struct DNSWatch {
    explicit DNSWatch(boost::asio::posix::stream_descriptor descriptor)
        : changes(std::move(descriptor)) {}
    boost::asio::posix::stream_descriptor changes;
    bool stopped = false;
  };
  void installIPv6Guard();
  void watchDNSFile();
  static runtime::Task<void> reassertOnChange(LinuxSettingsApplier* self,
                                              std::shared_ptr<DNSWatch> watch, std::string name);

  bool cleaned_ = false;
  std::atomic<bool> dnsApplied_ = false;
  std::shared_ptr<BlockingWorker> worker_;
  std::shared_ptr<DNSWatch> dnsWatch_;
};

}  // namespace platform
