#pragma once

// The app's two messages: "high-speed:" followed by "on" or "off", and
// anything else as "node-status", answered with {"nodes":[...]}.

#include "flowgate/transport/node_session_pool.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate {

inline constexpr std::string_view highSpeedPrefix = "high-speed:";

// The mode a high speed request asks for; nothing for any other message.
std::optional<bool> highSpeedRequest(std::string_view message);

// The status answer, without extra whitespace.
std::string nodeStatusJSON(const std::vector<PathStatus>& nodes);

}  // namespace flowgate
