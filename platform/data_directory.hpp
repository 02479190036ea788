#pragma once

// Where the daemon and the application keep the files they own beyond a run
// (caches such as the GeoIP table).

#include <filesystem>

namespace platform {

// The daemon's: /var/lib/veskar.
std::filesystem::path daemonDataDirectory();

// The user's: $XDG_DATA_HOME/Veskar, else ~/.local/share/Veskar (home from
// $HOME, else the password database). A relative XDG_DATA_HOME is ignored, as
// the XDG rules ask.
std::filesystem::path userDataDirectory();

// The user's configuration: $XDG_CONFIG_HOME, else ~/.config (a relative
// XDG_CONFIG_HOME ignored too).
std::filesystem::path userConfigDirectory();

}  // namespace platform
