#include "platform/linux_settings_applier.hpp"

#include <boost/asio/post.hpp>

namespace platform {

namespace asio = boost::asio;

LinuxSettingsApplier::LinuxSettingsApplier(std::string interfaceName,
                                           std::unique_ptr<DNSConfigurator> dns)
    : interfaceName_(std::move(interfaceName)), dns_(std::move(dns)) {}

LinuxSettingsApplier::~LinuxSettingsApplier() { worker_.join(); }

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
  routing_.applyRoutes(link, ipv4);
  if (dns_ && settings.dnsSettings) {
    dns_->apply(interfaceName_, link, *settings.dnsSettings);
    dnsApplied_ = true;
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
