#include "platform/tunnel_host.hpp"

#include <array>
#include <utility>

namespace platform {

namespace {

constexpr std::array<std::pair<TunnelStatus, std::string_view>, 6> names{{
    {TunnelStatus::invalid, "invalid"},
    {TunnelStatus::disconnected, "disconnected"},
    {TunnelStatus::connecting, "connecting"},
    {TunnelStatus::connected, "connected"},
    {TunnelStatus::reasserting, "reasserting"},
    {TunnelStatus::disconnecting, "disconnecting"},
}};

}  // namespace

std::string_view tunnelStatusName(TunnelStatus status) {
  for (const auto& [value, name] : names)
    if (value == status) return name;
  return "invalid";
}

std::optional<TunnelStatus> tunnelStatusFromName(std::string_view name) {
  for (const auto& [value, text] : names)
    if (text == name) return value;
  return std::nullopt;
}

}  // namespace platform
