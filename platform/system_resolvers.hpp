#pragma once

// The DNS resolvers of the physical network, in three steps: the servers of
// the link holding the default route, else the global servers, else the
// caller's fallback. Only dotted quads count. The tunnel's own servers never
// appear: the default route looked at is the main table's, and while our
// resolver file is in place the saved original is read instead.

#include "platform/blocking_worker.hpp"
#include "platform/resolv_conf_dns.hpp"
#include "runtime/async.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class SystemResolvers {
 public:
  virtual ~SystemResolvers() = default;
  virtual runtime::Task<std::vector<std::string>> systemDNSResolvers(
      std::vector<std::string> fallback) = 0;
};

// The pure rule: the first of the two lists with a dotted quad gives its dotted
// quads in order; else the fallback, unchanged.
std::vector<std::string> chooseResolvers(const std::vector<std::string>& defaultLinkServers,
                                         const std::vector<std::string>& globalServers,
                                         const std::vector<std::string>& fallback);

// The nameserver addresses of a resolver file, without loopback stubs.
std::vector<std::string> resolvConfServers(const std::string& content);

class LinuxSystemResolvers final : public SystemResolvers {
 public:
  struct Options {
    ResolvConfPaths resolvConf;
    std::string resolvedBus;  // empty: the system bus
    // Where the lookups run; none: a thread of its own.
    std::shared_ptr<BlockingWorker> worker;
  };
  LinuxSystemResolvers() : LinuxSystemResolvers(Options{}) {}
  explicit LinuxSystemResolvers(Options options);

  // The lookup on the worker, never on the caller's thread.
  runtime::Task<std::vector<std::string>> systemDNSResolvers(
      std::vector<std::string> fallback) override;
  // The same, blocking the caller for the D-Bus calls and a netlink dump,
  // each bounded by a deadline of about two seconds.
  std::vector<std::string> lookupNow(const std::vector<std::string>& fallback);

  // The tunnel's own servers: never an answer. Needed where the system merges
  // them into its resolver file (resolvconf); the fallback is not filtered.
  void excludeServers(std::vector<std::string> servers);

 private:
  Options options_;
  std::mutex mutex_;
  std::vector<std::string> excluded_;
};

// A fixed answer for tests.
class FixedSystemResolvers final : public SystemResolvers {
 public:
  explicit FixedSystemResolvers(std::vector<std::string> servers = {})
      : servers_(std::move(servers)) {}
  runtime::Task<std::vector<std::string>> systemDNSResolvers(
      std::vector<std::string> fallback) override {
    co_return chooseResolvers(servers_, {}, fallback);
  }
  void set(std::vector<std::string> servers) { servers_ = std::move(servers); }

 private:
  std::vector<std::string> servers_;
};

}  // namespace platform
