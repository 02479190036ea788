#pragma once

// The HTTP handlers of the control server: the public endpoints behind the
// fault board, and the loopback admin interface that sets the faults.

#include "testbed/control/control_service.hpp"
#include "testbed/control/fault_board.hpp"
#include "testbed/http/http_server.hpp"

namespace testbed {

// Counts each request, applies its path's fault, then lets the service answer.
// Both must outlive the handler.
HttpHandler controlHandler(ControlService& service, FaultBoard& faults);

// The admin interface (see admin_api.cpp for its requests).
HttpHandler adminHandler(ControlService& service, FaultBoard& faults);

}  // namespace testbed
