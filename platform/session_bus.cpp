#include "platform/session_bus.hpp"

#include <cstdlib>
#include <filesystem>

namespace platform {

bool sessionBusNamed() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return true;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus");
}

}  // namespace platform
