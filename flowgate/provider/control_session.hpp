#pragma once

// The control-plane client of a running tunnel: its sockets carry the routing
// mark, and the control server's name is connected to at the addresses the
// bootstrap lists, else looked up by `nameLookup`, as the system's resolver
// then is the tunnel's own DNS.

#include "flowgate/config/records.hpp"
#include "platform/connector.hpp"
#include "platform/http_client.hpp"
#include "runtime/async.hpp"

#include <memory>

namespace flowgate {

std::shared_ptr<platform::HttpClient> makeTunnelControlSession(const runtime::Executor& ioExecutor,
                                                               const ExtensionBootstrap& bootstrap,
                                                               platform::NameLookup nameLookup);

}  // namespace flowgate
