#include "platform/netlink_path_monitor.hpp"

#include "platform/interface_type.hpp"
#include "platform/policy_routing.hpp"
#include "platform/unique_fd.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform {

namespace asio = boost::asio;

namespace {

std::string linkName(const nlmsghdr* message) {
  std::string name;
  forEachAttribute<ifinfomsg>(message, [&](const nlattr* attribute) {
    if (mnl_attr_get_type(attribute) == IFLA_IFNAME) name = mnl_attr_get_str(attribute);
  });
  return name;
}

}  // namespace

// Everything the watching coroutine touches, shared with it so that it may
// outlive the monitor until its cancelled waits return. Touched on the strand
// only, except `ignored` (under its mutex) and `cancelled`.
struct NetlinkPathMonitor::State {
  State(const runtime::Executor& executor, Options chosen)
      : strand(asio::make_strand(executor)),
        options(std::move(chosen)),
        subscription(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE),
        readiness(strand, duplicateDescriptor(subscription.fd())),
        settle(strand) {
    subscription.setNonBlocking();
  }

  bool isIgnored(const std::string& name) {
    std::lock_guard lock(ignoredMutex);
    return ignored.contains(name);
  }
  bool isIgnoredIndex(int index) {
    auto found = names.find(index);
    return found != names.end() && isIgnored(found->second);
  }

  // Reads what is waiting; true when any of it is a change of the network.
  bool drain() {
    bool changed = false;
    bool complete = subscription.drainNotifications(
        [&](const nlmsghdr* message) { changed = isChange(message) || changed; });
    return changed || !complete;
  }

  bool isChange(const nlmsghdr* message) {
    switch (message->nlmsg_type) {
      case RTM_NEWLINK:
      case RTM_DELLINK: {
        const auto* link = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
        auto name = linkName(message);
        bool up = false;
        if (message->nlmsg_type == RTM_NEWLINK) {
          names[link->ifi_index] = name;
          up = link->ifi_flags & IFF_UP;
        } else {
          names.erase(link->ifi_index);
        }
        if (!isIgnored(name)) return true;
        // Our own link counts only when it goes down or comes back.
        bool wasUp = ownUp.contains(name);
        if (up) {
          ownUp.insert(name);
        } else {
          ownUp.erase(name);
          if (wasUp) dropped.insert(name);
        }
        return up != wasUp;
      }
      case RTM_NEWADDR:
      case RTM_DELADDR: {
        const auto* address = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
        return !isIgnoredIndex(static_cast<int>(address->ifa_index));
      }
      case RTM_NEWROUTE:
      case RTM_DELROUTE: {
        const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
        if (route->rtm_protocol == kRouteProtocol) return false;
        std::uint32_t table = route->rtm_table;
        int device = 0;
        forEachAttribute<rtmsg>(message, [&](const nlattr* attribute) {
          if (mnl_attr_get_type(attribute) == RTA_TABLE) table = mnl_attr_get_u32(attribute);
          if (mnl_attr_get_type(attribute) == RTA_OIF) {
            device = static_cast<int>(mnl_attr_get_u32(attribute));
          }
        });
        return table != kRoutingTable && !isIgnoredIndex(device);
      }
      default: return false;
    }
  }

  NetworkPath snapshot() {
    NetworkPath path;
    NetlinkBatch request;
    auto* message = request.begin(RTM_GETLINK, 0);
    putHeader<ifinfomsg>(message)->ifi_family = AF_UNSPEC;
    request.end(message);
    names.clear();
    ownUp.clear();
    queries.dump(request, [&](const nlmsghdr* answer) {
      if (answer->nlmsg_type != RTM_NEWLINK) return;
      const auto* link = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(answer));
      auto name = linkName(answer);
      names[link->ifi_index] = name;
      // Our own link can carry routes as soon as it is up; its carrier
      // follows later.
      bool own = isIgnored(name);
      if (!(link->ifi_flags & IFF_UP) || (!own && !(link->ifi_flags & IFF_RUNNING))) return;
      auto interface = NetworkInterface{
          name, interfaceType(options.sysfsNet, name, link->ifi_flags, link->ifi_type),
          link->ifi_index};
      if (own) {
        ownUp.insert(name);
        path.ownInterfaces.push_back(std::move(interface));
      } else {
        path.availableInterfaces.push_back(std::move(interface));
      }
    });
    std::ranges::sort(path.availableInterfaces, {}, &NetworkInterface::index);
    std::ranges::sort(path.ownInterfaces, {}, &NetworkInterface::index);
    return path;
  }

  runtime::Strand strand;
  Options options;
  NetlinkSocket subscription;
  NetlinkSocket queries;
  asio::posix::stream_descriptor readiness;
  asio::steady_timer settle;
  Handler handler;
  std::map<int, std::string> names;
  std::set<std::string> ownUp;  // ignored links up at the last look
  // Ignored links that went down since the last publication: a down and up
  // within one burst still took their routes along.
  std::set<std::string> dropped;
  std::mutex ignoredMutex;
  std::set<std::string> ignored;
  std::atomic<bool> cancelled{false};
};

NetlinkPathMonitor::NetlinkPathMonitor(const runtime::Executor& executor, Options options)
    : state_(std::make_shared<State>(executor, std::move(options))) {}

NetlinkPathMonitor::~NetlinkPathMonitor() { cancel(); }

void NetlinkPathMonitor::start(Handler handler) {
  auto state = state_;
  asio::post(state->strand, [state, handler = std::move(handler)]() mutable {
    state->handler = std::move(handler);
    // A failing netlink socket escapes to the executor's run(), loudly.
    runtime::spawn(state->strand, watch(state));
  });
}

void NetlinkPathMonitor::cancel() {
  state_->cancelled = true;
  // The state lives on in the posted work: the monitor may be gone when it runs.
  asio::post(state_->strand, [state = state_] {
    state->readiness.cancel();
    state->settle.cancel();
  });
}

void NetlinkPathMonitor::ignoreInterface(const std::string& name) {
  std::lock_guard lock(state_->ignoredMutex);
  state_->ignored.insert(name);
}

runtime::Task<void> NetlinkPathMonitor::watch(std::shared_ptr<State> state) {
  auto publish = [&] {
    auto path = state->snapshot();
    if (state->cancelled || !state->handler) return;
    auto dropped = std::exchange(state->dropped, {});
    auto down = path;
    std::erase_if(down.ownInterfaces,
                  [&](const NetworkInterface& link) { return dropped.contains(link.name); });
    if (down != path) state->handler(down);
    state->handler(path);
  };
  try {
    // Notifications queued before the first read describe what it shows.
    state->drain();
    publish();
    while (!state->cancelled) {
      co_await state->readiness.async_wait(asio::posix::stream_descriptor::wait_read,
                                           asio::use_awaitable);
      if (!state->drain()) continue;
      // Settle: wait until a whole debounce period passes without a change.
      do {
        state->settle.expires_after(state->options.debounce);
        co_await state->settle.async_wait(asio::use_awaitable);
      } while (!state->cancelled && state->drain());
      if (!state->cancelled) publish();
    }
  } catch (const boost::system::system_error& error) {
    if (error.code() != asio::error::operation_aborted) throw;
  }
}

}  // namespace platform
