#include "platform/linux_settings_applier.hpp"
#include "platform/unique_fd.hpp"

#include "runtime/spawn.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>

#include <boost/system/system_error.hpp>

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <vector>

namespace platform {

namespace asio = boost::asio;

LinuxSettingsApplier::LinuxSettingsApplier(std::string interfaceName,
                                           std::unique_ptr<DNSConfigurator> dns, bool ipv6Guard,
                                           std::shared_ptr<BlockingWorker> worker,
                                           std::shared_ptr<Lockdown> lockdown)
    : interfaceName_(std::move(interfaceName)),
      dns_(std::move(dns)),
      ipv6Guard_(ipv6Guard),
      lockdown_(std::move(lockdown)),
      worker_(std::move(worker)) {}

LinuxSettingsApplier::~LinuxSettingsApplier() {
  // On the worker, between two of the watch's wake-ups: a wake-up queued
  // already finds the watch stopped.
  std::promise<void> stopped;
  asio::post(worker_->executor(), [this, &stopped] {
    if (dnsWatch_) {
      dnsWatch_->stopped = true;
      dnsWatch_->changes.cancel();
    }
    stopped.set_value();
  });
  stopped.get_future().wait();
}

void LinuxSettingsApplier::removeLeftovers() {
  routing_.removeAll();
  replyMarks_.remove();
  if (dns_) dns_->removeLeftovers();
  cleaned_ = true;
}

void LinuxSettingsApplier::applyNow(const NetworkSettings& settings) {
  if (!cleaned_) removeLeftovers();
  int link = routing_.linkIndex(interfaceName_);
  IPv4Settings ipv4 = settings.ipv4Settings.value_or(IPv4Settings{});
  routing_.configureInterface(link, ipv4, settings.mtu);
  // Before the rule steers anything: the first reply must already find its way.
  replyMarks_.install();
  // Before the IPv4 rule steers anything into the tunnel, so no IPv6 leaves
  // beside it.
  if (ipv6Guard_) installIPv6Guard();
  if (lockdown_) lockdown_->allow(ipv4.excludedRoutes);
  routing_.applyRoutes(link, ipv4);
  if (dns_ && settings.dnsSettings) {
    dns_->apply(interfaceName_, link, *settings.dnsSettings);
    dnsApplied_ = true;
    if (!dnsWatch_) watchDNSFile();
  } else if (dns_ && dnsApplied_) {
    dns_->revert();
    dnsApplied_ = false;
  }
}

void LinuxSettingsApplier::installIPv6Guard() {
  try {
    routing_.installIPv6Guard();
  } catch (const boost::system::system_error& e) {
    // A kernel without IPv6 (ipv6.disable=1: routes answer EOPNOTSUPP, rules
    // EAFNOSUPPORT) has nothing to guard, and the guard is on by default.
    if (e.code().value() != EAFNOSUPPORT && e.code().value() != EOPNOTSUPP) throw;
  }
}

void LinuxSettingsApplier::removeNow() {
  routing_.removeAll();
  replyMarks_.remove();
  if (dns_) dns_->revert();
  dnsApplied_ = false;
  if (lockdown_) lockdown_->runStopped();
}

void LinuxSettingsApplier::watchDNSFile() {
  auto file = dns_->watchedFile();
  if (!file) return;
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return;
  auto folder = file->parent_path().empty() ? std::filesystem::path(".") : file->parent_path();
  // The folder, not the file: the file is replaced by renames.
  if (::inotify_add_watch(fd.get(), folder.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) <
      0) {
    return;
  }
  dnsWatch_ =
      std::make_shared<DNSWatch>(asio::posix::stream_descriptor(worker_->executor(), fd.release()));
  runtime::spawn(worker_->executor(), reassertOnChange(this, dnsWatch_, file->filename().string()));
}

runtime::Task<void> LinuxSettingsApplier::reassertOnChange(LinuxSettingsApplier* self,
                                                           std::shared_ptr<DNSWatch> watch,
                                                           std::string name) {
  std::vector<char> events(16 * 1024);
  for (;;) {
    auto [error] = co_await watch->changes.async_wait(asio::posix::stream_descriptor::wait_read,
                                                      runtime::asTuple);
    if (error || watch->stopped) co_return;
    bool touched = false;
    ssize_t n;
    while ((n = ::read(watch->changes.native_handle(), events.data(), events.size())) > 0) {
      for (ssize_t offset = 0; offset < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events.data() + offset);
        if (event->len > 0 && name == event->name) touched = true;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    // Our own writes land here too; reassert() leaves a file that is ours alone.
    if (!touched || !self->dnsApplied_) continue;
    try {
      self->dns_->reassert();
    } catch (const std::exception&) {
      // Like every background failure: tried again at the next change.
    }
  }
}

runtime::Task<void> LinuxSettingsApplier::apply(NetworkSettings settings) {
  auto work = [](LinuxSettingsApplier* self, NetworkSettings value) -> runtime::Task<void> {
    self->applyNow(value);
    co_return;
  };
  // Named, not temporaries inside co_await (GCC 12 destroys those twice).
  runtime::Executor worker = worker_->executor();
  auto task = work(this, std::move(settings));
  co_await runtime::runOn<void>(worker, std::move(task));
}

runtime::Task<void> LinuxSettingsApplier::remove() {
  auto work = [](LinuxSettingsApplier* self) -> runtime::Task<void> {
    self->removeNow();
    co_return;
  };
  runtime::Executor worker = worker_->executor();
  auto task = work(this);
  co_await runtime::runOn<void>(worker, std::move(task));
}

}  // namespace platform
