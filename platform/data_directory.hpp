#pragma once

#include <filesystem>

namespace platform {

// The application's own data folder: $XDG_DATA_HOME/Veskar, else
// ~/.local/share/Veskar. Nothing is created.
std::filesystem::path userDataDirectory();

}  // namespace platform
