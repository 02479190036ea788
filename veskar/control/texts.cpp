#include "veskar/control/texts.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace veskar {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 55> kEnglish = {{
    {"app.open_website", "Open the website"},
    {"app.tagline", "Fast, private paths to the internet"},
    {"cli.login.no_password", "No password given: type it at a terminal or pass --password-stdin."},
    {"cli.login.password_prompt", "Password: "},
    {"cli.login.signed_in", "Signed in as %1."},
    {"cli.logout.signed_out", "Signed out."},
    {"cli.not_signed_in", "You are not signed in."},
    {"cli.status.account", "Account: %1"},
    {"cli.status.high_speed", "High speed: %1"},
    {"cli.status.last_error", "Last error: %1"},
    {"cli.status.lockdown", "Lockdown: %1"},
    {"cli.status.tunnel", "Tunnel: %1"},
    {"cli.traffic.remaining", "Remaining traffic: %1"},
    {"cli.tunnel.not_connected", "The tunnel is not connected."},
    {"common.cancel", "Cancel"},
    {"common.loading", "Loading…"},
    {"common.off", "Off"},
    {"common.on", "On"},
    {"common.open_help", "Open Help"},
    {"common.open_settings", "Open Settings"},
    {"common.unavailable", "Unavailable"},
    {"common.unknown", "Unknown"},
    {"error.login.wrong_password",
     "The phone number or password is wrong. Check them and try again."},
    {"error.network.unavailable",
     "The server cannot be reached. Check your network connection and try again."},
    {"error.permission.denied_marker", "permission denied"},
    {"error.permission.missing_marker", "not permitted"},
    {"error.server.failed", "The server could not complete the request. Try again later."},
    {"error.server.format", "The server answered with status %1: %2"},
    {"error.server.invalid_response", "The server sent an invalid response."},
    {"error.service.not_responding",
     "The Veskar service is not responding. Restart it with \"sudo systemctl restart flowgate\" "
     "and try again."},
    {"error.service.not_running",
     "The Veskar service is not running. Start it with \"sudo systemctl start flowgate\" and try "
     "again."},
    {"error.service.permission_denied",
     "You may not control the tunnel: only root and members of the group \"%1\" may. Add "
     "yourself with \"sudo usermod -aG %1 $USER\", then sign out of the desktop and back in."},
    {"error.session.expired", "Your session has expired. Please sign in again."},
    {"login.sign_out", "Sign out"},
    {"vpn.configuration.save_failed", "The tunnel configuration could not be saved."},
    {"vpn.connect", "Connect"},
    {"vpn.connection.failed", "The tunnel could not be connected."},
    {"vpn.high_speed.accessibility_label", "High speed"},
    {"vpn.high_speed.disabled_toast", "High speed is off"},
    {"vpn.high_speed.enabled_toast", "High speed is on"},
    {"vpn.lockdown.accessibility_label", "Lockdown"},
    {"vpn.lockdown.disabled_toast", "Lockdown is off"},
    {"vpn.lockdown.enabled_toast", "Lockdown is on"},
    {"vpn.lockdown.explanation", "Blocks traffic outside the tunnel at all times"},
    {"vpn.lockdown.state", "Lockdown: %1"},
    {"vpn.nodes.connected", "Connected nodes"},
    {"vpn.nodes.none_available", "No nodes are available for your account."},
    {"vpn.nodes.none_connected", "No nodes connected"},
    {"vpn.permission.title", "Permission needed"},
    {"vpn.status.connected", "Connected"},
    {"vpn.status.connecting", "Connecting…"},
    {"vpn.status.disconnected", "Disconnected"},
    {"vpn.status.disconnecting", "Disconnecting…"},
    {"vpn.status.reasserting", "Reconnecting…"},
    {"vpn.status.service_stopped", "Service stopped"},
}};

}  // namespace

std::string localized(std::string_view key) {
  auto it = std::find_if(kEnglish.begin(), kEnglish.end(),
                         [&](const auto& entry) { return entry.first == key; });
  if (it == kEnglish.end()) return std::string(key);
  return std::string(it->second);
}

std::string localizedFormat(std::string_view key, std::initializer_list<std::string> arguments) {
  std::string format = localized(key);
  std::string result;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] >= '1' && format[i + 1] <= '9') {
      auto index = static_cast<std::size_t>(format[i + 1] - '1');
      if (index < arguments.size()) {
        result += *(arguments.begin() + index);
        ++i;
        continue;
      }
    }
    result += format[i];
  }
  return result;
}

}  // namespace veskar
