#include "platform/resolved_client.hpp"

#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.resolve1";
constexpr const char* kPath = "/org/freedesktop/resolve1";
constexpr const char* kManager = "org.freedesktop.resolve1.Manager";
// Every call's bound (sd-bus waits 25 s by default): a resolved that hangs
// must not hold up a start that long.
constexpr std::uint64_t kCallTimeoutMicroseconds = 2'000'000;

void check(int result, const char* what) {
  if (result < 0)
    throw boost::system::system_error(-result, boost::system::system_category(), what);
}

// Owns a message reference and an error for the length of one call.
struct Call {
  sd_bus_message* message = nullptr;
  sd_bus_error error{};  // the C macro SD_BUS_ERROR_NULL is a compound literal
  ~Call() {
    sd_bus_message_unref(message);
    sd_bus_error_free(&error);
  }
  void check(int result, const char* what) const {
    if (result >= 0) return;
    std::string context = what;
    if (error.message) context += std::string(": ") + error.message;
    throw boost::system::system_error(-result, boost::system::system_category(), context);
  }
};

using MessagePtr = std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>;

// A method call of the manager on one link, its first argument the link index.
MessagePtr newLinkCall(sd_bus* bus, const char* method, int linkIndex) {
  sd_bus_message* request = nullptr;
  check(sd_bus_message_new_method_call(bus, &request, kService, kPath, kManager, method), method);
  MessagePtr owned(request, sd_bus_message_unref);
  check(sd_bus_message_append(request, "i", linkIndex), method);
  return owned;
}

void appendAddress(sd_bus_message* message, const std::string& text) {
  unsigned char bytes[16];
  int family = AF_INET;
  std::size_t size = 4;
  if (::inet_pton(AF_INET, text.c_str(), bytes) != 1) {
    if (::inet_pton(AF_INET6, text.c_str(), bytes) != 1) return;
    family = AF_INET6;
    size = 16;
  }
  check(sd_bus_message_open_container(message, 'r', "iay"), "dns entry");
  check(sd_bus_message_append(message, "i", family), "dns family");
  check(sd_bus_message_append_array(message, 'y', bytes, size), "dns address");
  check(sd_bus_message_close_container(message), "dns entry");
}

}  // namespace

std::unique_ptr<ResolvedClient> ResolvedClient::connect(const std::string& address) {
  sd_bus* bus = nullptr;
  if (address.empty()) {
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
  } else if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
             sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds) < 0 ||
             sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  std::unique_ptr<ResolvedClient> client(new ResolvedClient(bus));
  Call call;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &call.error, &call.message, "s",
                         kService) < 0 ||
      sd_bus_message_read(call.message, "b", &owned) < 0 || !owned) {
    return nullptr;
  }
  return client;
}

ResolvedClient::~ResolvedClient() { sd_bus_flush_close_unref(bus_); }

std::vector<ResolvedClient::Server> ResolvedClient::servers() {
  Call call;
  call.check(sd_bus_get_property(bus_, kService, kPath, kManager, "DNS", &call.error, &call.message,
                                 "a(iiay)"),
             "resolved DNS");
  std::vector<Server> result;
  check(sd_bus_message_enter_container(call.message, 'a', "(iiay)"), "resolved DNS");
  for (;;) {
    int entered = sd_bus_message_enter_container(call.message, 'r', "iiay");
    check(entered, "resolved DNS entry");
    if (entered == 0) break;
    int link = 0, family = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    check(sd_bus_message_read(call.message, "ii", &link, &family), "resolved DNS entry");
    check(sd_bus_message_read_array(call.message, 'y', &bytes, &size), "resolved DNS address");
    check(sd_bus_message_exit_container(call.message), "resolved DNS entry");
    char text[INET6_ADDRSTRLEN] = {};
    if ((family == AF_INET && size == 4) || (family == AF_INET6 && size == 16)) {
      ::inet_ntop(family, bytes, text, sizeof text);
      result.push_back({link, text});
    }
  }
  check(sd_bus_message_exit_container(call.message), "resolved DNS");
  return result;
}

void ResolvedClient::setLinkDNS(int linkIndex, const std::vector<std::string>& addresses) {
  Call call;
  auto owned = newLinkCall(bus_, "SetLinkDNS", linkIndex);
  sd_bus_message* request = owned.get();
  check(sd_bus_message_open_container(request, 'a', "(iay)"), "SetLinkDNS");
  for (const auto& address : addresses) appendAddress(request, address);
  check(sd_bus_message_close_container(request), "SetLinkDNS");
  call.check(sd_bus_call(bus_, request, 0, &call.error, &call.message), "SetLinkDNS");
}

void ResolvedClient::setLinkDomains(int linkIndex,
                                    const std::vector<std::pair<std::string, bool>>& domains) {
  Call call;
  auto owned = newLinkCall(bus_, "SetLinkDomains", linkIndex);
  sd_bus_message* request = owned.get();
  check(sd_bus_message_open_container(request, 'a', "(sb)"), "SetLinkDomains");
  for (const auto& [domain, routingOnly] : domains) {
    check(sd_bus_message_append(request, "(sb)", domain.c_str(), static_cast<int>(routingOnly)),
          "SetLinkDomains");
  }
  check(sd_bus_message_close_container(request), "SetLinkDomains");
  call.check(sd_bus_call(bus_, request, 0, &call.error, &call.message), "SetLinkDomains");
}

void ResolvedClient::setLinkDefaultRoute(int linkIndex, bool enabled) {
  Call call;
  call.check(sd_bus_call_method(bus_, kService, kPath, kManager, "SetLinkDefaultRoute", &call.error,
                                &call.message, "ib", linkIndex, static_cast<int>(enabled)),
             "SetLinkDefaultRoute");
}

void ResolvedClient::revertLink(int linkIndex) {
  Call call;
  call.check(sd_bus_call_method(bus_, kService, kPath, kManager, "RevertLink", &call.error,
                                &call.message, "i", linkIndex),
             "RevertLink");
}

}  // namespace platform
