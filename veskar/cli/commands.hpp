#pragma once

// One coroutine per command; each returns the exit status and lets failures
// escape to runCommand, which prints their text.

#include "runtime/async.hpp"
#include "veskar/cli/app.hpp"

#include <boost/json/value.hpp>

#include <string>

namespace veskar::cli {

runtime::Task<int> loginCommand(App& app);
runtime::Task<int> logoutCommand(App& app);
runtime::Task<int> trafficCommand(App& app);
runtime::Task<int> connectCommand(App& app);
runtime::Task<int> disconnectCommand(App& app);
runtime::Task<int> statusCommand(App& app);
runtime::Task<int> highSpeedCommand(App& app);
runtime::Task<int> lockdownCommand(App& app);
runtime::Task<int> nodesCommand(App& app);

// For read commands: one JSON document per line.
void printJSON(App& app, const boost::json::value& value);
// The status's text: "Connected", "Connecting…", ... ("invalid" reads as disconnected).
std::string statusText(platform::TunnelStatus status);

}  // namespace veskar::cli
