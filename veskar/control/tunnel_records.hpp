#pragma once

// The application's names for the tunnel configuration records: the same types,
// so the JSON both sides write is the same by construction.

#include "flowgate/config/records.hpp"

namespace veskar {

using TunnelBootstrap = flowgate::ExtensionBootstrap;
using ClientConfig = flowgate::ExtensionConfig;
using TunnelNode = flowgate::ExtensionNode;
using TunnelRoute = flowgate::ExtensionRoute;
using TunnelPath = flowgate::ExtensionPath;
using NodeGroupMember = flowgate::ExtensionNodeGroupMember;
using DNSConfig = flowgate::ExtensionDNSConfig;
using GeoIPManifest = flowgate::ExtensionGeoIPManifest;

}  // namespace veskar
