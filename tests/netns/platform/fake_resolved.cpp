#include "tests/netns/platform/fake_resolved.hpp"

#include <arpa/inet.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

struct FakeResolvedCalls {
  static FakeResolved& self(void* data) { return *static_cast<FakeResolved*>(data); }

  static int readAddresses(sd_bus_message* message, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(message, 'a', "(iay)");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(message, 'r', "iay")) > 0) {
      int family = 0;
      const void* bytes = nullptr;
      std::size_t size = 0;
      if ((r = sd_bus_message_read(message, "i", &family)) < 0) return r;
      if ((r = sd_bus_message_read_array(message, 'y', &bytes, &size)) < 0) return r;
      char text[INET6_ADDRSTRLEN] = {};
      ::inet_ntop(family, bytes, text, sizeof text);
      out.emplace_back(text);
      if ((r = sd_bus_message_exit_container(message)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(message);
  }

  static int setLinkDNS(sd_bus_message* message, void* data, sd_bus_error*) {
    int link = 0;
    std::vector<std::string> servers;
    int r = sd_bus_message_read(message, "i", &link);
    if (r < 0 || (r = readAddresses(message, servers)) < 0) return r;
    std::lock_guard lock(self(data).mutex_);
    self(data).links_[link].servers = servers;
    return sd_bus_reply_method_return(message, nullptr);
  }

  static int setLinkDomains(sd_bus_message* message, void* data, sd_bus_error*) {
    int link = 0;
    std::vector<std::pair<std::string, bool>> domains;
    int r = sd_bus_message_read(message, "i", &link);
    if (r < 0 || (r = sd_bus_message_enter_container(message, 'a', "(sb)")) < 0) return r;
    const char* domain = nullptr;
    int routing = 0;
    while ((r = sd_bus_message_read(message, "(sb)", &domain, &routing)) > 0) {
      domains.emplace_back(domain, routing != 0);
    }
    if (r < 0) return r;
    std::lock_guard lock(self(data).mutex_);
    self(data).links_[link].domains = domains;
    return sd_bus_reply_method_return(message, nullptr);
  }

  static int setLinkDefaultRoute(sd_bus_message* message, void* data, sd_bus_error*) {
    int link = 0, enabled = 0;
    int r = sd_bus_message_read(message, "ib", &link, &enabled);
    if (r < 0) return r;
    std::lock_guard lock(self(data).mutex_);
    self(data).links_[link].defaultRoute = enabled != 0;
    return sd_bus_reply_method_return(message, nullptr);
  }

  static int revertLink(sd_bus_message* message, void* data, sd_bus_error*) {
    int link = 0;
    int r = sd_bus_message_read(message, "i", &link);
    if (r < 0) return r;
    std::lock_guard lock(self(data).mutex_);
    self(data).links_.erase(link);
    self(data).reverted_.push_back(link);
    return sd_bus_reply_method_return(message, nullptr);
  }

  static int appendServer(sd_bus_message* reply, int link, const std::string& text) {
    unsigned char bytes[16];
    int family = AF_INET;
    std::size_t size = 4;
    if (::inet_pton(AF_INET, text.c_str(), bytes) != 1) {
      ::inet_pton(AF_INET6, text.c_str(), bytes);
      family = AF_INET6;
      size = 16;
    }
    int r = sd_bus_message_open_container(reply, 'r', "iiay");
    if (r >= 0) r = sd_bus_message_append(reply, "ii", link, family);
    if (r >= 0) r = sd_bus_message_append_array(reply, 'y', bytes, size);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  static int dnsProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void* data, sd_bus_error*) {
    auto& fake = self(data);
    std::lock_guard lock(fake.mutex_);
    int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
    for (const auto& server : fake.global_) {
      if (r >= 0) r = appendServer(reply, 0, server);
    }
    for (const auto& [link, settings] : fake.links_) {
      for (const auto& server : settings.servers) {
        if (r >= 0) r = appendServer(reply, link, server);
      }
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }
};

namespace {

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", FakeResolvedCalls::setLinkDNS, 0),
    SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", FakeResolvedCalls::setLinkDomains, 0),
    SD_BUS_METHOD("SetLinkDefaultRoute", "ib", "", FakeResolvedCalls::setLinkDefaultRoute, 0),
    SD_BUS_METHOD("RevertLink", "i", "", FakeResolvedCalls::revertLink, 0),
    SD_BUS_PROPERTY("DNS", "a(iiay)", FakeResolvedCalls::dnsProperty, 0, 0),
    SD_BUS_VTABLE_END};

}  // namespace

FakeResolved::FakeResolved() {
  char pattern[] = "/tmp/veskar-bus-XXXXXX";
  directory_ = ::mkdtemp(pattern);
  auto socket = directory_ + "/bus";
  address_ = "unix:path=" + socket;
  auto config = directory_ + "/bus.conf";
  std::ofstream(config)
      << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>)"
      << address_ << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
  std::string configArgument = "--config-file=" + config;
  const char* argv[] = {"dbus-daemon", configArgument.c_str(), "--nofork", "--nopidfile", nullptr};
  if (::posix_spawnp(&daemon_, "dbus-daemon", nullptr, nullptr, const_cast<char**>(argv),
                     environ) != 0) {
    throw std::runtime_error("cannot start dbus-daemon");
  }
  for (int i = 0; i < 200 && !fs::exists(socket); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread_ = std::thread([this] { serve(); });
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard lock(mutex_);
      if (ready_ || !failure_.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard lock(mutex_);
  if (!ready_) {
    stopping_ = true;
    throw std::runtime_error("fake resolved did not start: " + failure_);
  }
}

FakeResolved::~FakeResolved() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable()) thread_.join();
  if (daemon_ > 0) {
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove_all(directory_, ignored);
}

void FakeResolved::serve() {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  auto fail = [&](const char* what) {
    std::lock_guard lock(mutex_);
    failure_ = what;
  };
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address_.c_str()) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
    fail("connect");
  } else if (sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/resolve1",
                                      "org.freedesktop.resolve1.Manager", kManager, this) < 0) {
    fail("vtable");
  } else if (sd_bus_request_name(bus, "org.freedesktop.resolve1", 0) < 0) {
    fail("name");
  } else {
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
    }
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      int r = sd_bus_process(bus, nullptr);
      if (r < 0) break;
      if (r == 0) sd_bus_wait(bus, 50000);
    }
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
}

void FakeResolved::setGlobalServers(std::vector<std::string> servers) {
  std::lock_guard lock(mutex_);
  global_ = std::move(servers);
}

void FakeResolved::setLinkServers(int link, std::vector<std::string> servers) {
  std::lock_guard lock(mutex_);
  links_[link].servers = std::move(servers);
}

std::map<int, FakeResolved::Link> FakeResolved::links() const {
  std::lock_guard lock(mutex_);
  return links_;
}

std::vector<int> FakeResolved::reverted() const {
  std::lock_guard lock(mutex_);
  return reverted_;
}

}  // namespace testsupport
