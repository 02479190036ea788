#include "platform/linux_settings_applier.hpp"
#include "platform/unique_fd.hpp"

#include "runtime/spawn.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>

#include <sys/inotify.h>
#include <unistd.h>

#include <vector>

namespace platform {

namespace asio = boost::asio;

LinuxSettingsApplier::LinuxSettingsApplier(std::string interfaceName,
                                           std::unique_ptr<DNSConfigurator> dns, bool ipv6Guard,
                                           std::shared_ptr<Lockdown> lockdown)
    : interfaceName_(std::move(interfaceName)),
      dns_(std::move(dns)),
      ipv6Guard_(ipv6Guard),
      lockdown_(std::move(lockdown)) {}

LinuxSettingsApplier::~LinuxSettingsApplier() {
  asio::post(worker_, [this] {
    if (dnsFileChanges_) dnsFileChanges_->cancel();
  });
  worker_.join();
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
  if (ipv6Guard_) routing_.installIPv6Guard();
  if (lockdown_) lockdown_->allow(ipv4.excludedRoutes);
  routing_.applyRoutes(link, ipv4);
  if (dns_ && settings.dnsSettings) {
    dns_->apply(interfaceName_, link, *settings.dnsSettings);
    dnsApplied_ = true;
    if (!dnsFileChanges_) watchDNSFile();
  } else if (dns_ && dnsApplied_) {
    dns_->revert();
    dnsApplied_ = false;
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
  dnsFileChanges_ =
      std::make_unique<asio::posix::stream_descriptor>(worker_.get_executor(), fd.release());
  runtime::spawn(worker_.get_executor(), reassertOnChange(this, file->filename().string()));
}

runtime::Task<void> LinuxSettingsApplier::reassertOnChange(LinuxSettingsApplier* self,
                                                           std::string name) {
  std::vector<char> events(16 * 1024);
  for (;;) {
    auto [error] = co_await self->dnsFileChanges_->async_wait(
        asio::posix::stream_descriptor::wait_read, runtime::asTuple);
    if (error) co_return;
    bool touched = false;
    ssize_t n;
    while ((n = ::read(self->dnsFileChanges_->native_handle(), events.data(), events.size())) > 0) {
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
  runtime::Executor worker = worker_.get_executor();
  auto task = work(this, std::move(settings));
  co_await runtime::runOn<void>(worker, std::move(task));
}

runtime::Task<void> LinuxSettingsApplier::remove() {
  auto work = [](LinuxSettingsApplier* self) -> runtime::Task<void> {
    self->removeNow();
    co_return;
  };
  runtime::Executor worker = worker_.get_executor();
  auto task = work(this);
  co_await runtime::runOn<void>(worker, std::move(task));
}

}  // namespace platform
