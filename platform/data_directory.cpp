#include "platform/data_directory.hpp"

#include <cstdlib>

namespace platform {

std::filesystem::path userDataDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::filesystem::path(data) / "Veskar";
  const char* home = std::getenv("HOME");
  std::filesystem::path base = home && *home ? home : "/";
  return base / ".local" / "share" / "Veskar";
}

}  // namespace platform
