#pragma once

// Whether the environment names the user's session bus. Without one, D-Bus
// client libraries would try to launch a bus of their own.

namespace platform {

// DBUS_SESSION_BUS_ADDRESS is set, or $XDG_RUNTIME_DIR/bus exists.
bool sessionBusNamed();

}  // namespace platform
