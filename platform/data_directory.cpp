#include "platform/data_directory.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {

namespace {

std::filesystem::path homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  // Sized for any passwd entry: sysconf may not know a limit.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::filesystem::path daemonDataDirectory() { return "/var/lib/veskar"; }

std::filesystem::path userConfigDirectory() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome && configHome[0] == '/') return configHome;
  return homeDirectory() / ".config";
}

std::filesystem::path userDataDirectory() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return std::filesystem::path(dataHome) / "Veskar";
  return homeDirectory() / ".local" / "share" / "Veskar";
}

}  // namespace platform
