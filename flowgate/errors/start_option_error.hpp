#pragma once

// Why a start was refused before anything of it reached the machine: each
// description names the field of the start options at fault.

#include "runtime/error.hpp"

namespace flowgate {

enum class StartOptionError {
  controlURLInvalid = 1,
  controlOriginNotAllowed,
  controlAddressInvalid,
  vpnNetworkInvalid,
  vpnPrefixOutOfRange,
  vpnNetworkCoversControl,
  vpnNetworkCoversNode,
  vpnAddressInvalid,
  vpnAddressOutsideNetwork,
  vpnAddressReserved,
  vpnAddressInUse,
  dnsServerInvalid,
  localResolverInvalid,
  mtuOutOfRange,
  tooManyNodes,
  tooManyRoutes,
  tooManyPaths,
  tooManyNodeGroups,
  tooManyNetworks,
  tooManyAddresses,
};

inline runtime::ErrorCode make_error_code(StartOptionError e) { return runtime::makeErrorCode(e); }

}  // namespace flowgate

template <>
struct runtime::ErrorTraits<flowgate::StartOptionError> {
  static constexpr const char* name = "flowgate.start-options";
  static std::string_view description(flowgate::StartOptionError e) {
    using enum flowgate::StartOptionError;
    switch (e) {
      case controlURLInvalid: return "controlURL is not an https URL";
      case controlOriginNotAllowed:
        return "controlURL names a control server this daemon is not set to trust";
      case controlAddressInvalid: return "controlIPv4 holds an entry that is not an IPv4 address";
      case vpnNetworkInvalid: return "config.vpnCidr is not an IPv4 network";
      case vpnPrefixOutOfRange: return "config.vpnCidr's prefix is not between /8 and /30";
      case vpnNetworkCoversControl: return "config.vpnCidr covers an address of controlIPv4";
      case vpnNetworkCoversNode: return "config.vpnCidr covers the address of a node";
      case vpnAddressInvalid: return "vpnIPv4 is not an IPv4 address";
      case vpnAddressOutsideNetwork: return "vpnIPv4 is not a host address inside config.vpnCidr";
      case vpnAddressReserved:
        return "vpnIPv4 is a loopback, multicast, link-local or broadcast address";
      case vpnAddressInUse: return "vpnIPv4 is already an address of this machine";
      case dnsServerInvalid:
        return "config.dns.servers holds an entry that is not a unicast IPv4 address";
      case localResolverInvalid:
        return "config.dns.localResolvers holds an entry that is not a unicast IPv4 address";
      case mtuOutOfRange: return "config.mtu is not between 576 and 9000";
      case tooManyNodes: return "config.nodes or a node list in it is longer than allowed";
      case tooManyRoutes: return "config.routes has more entries than allowed";
      case tooManyPaths: return "config.paths has more entries than allowed";
      case tooManyNodeGroups: return "config.nodeGroups has more entries than allowed";
      case tooManyNetworks: return "localRoutes has more entries than allowed";
      case tooManyAddresses:
        return "controlIPv4, config.dns.servers or config.dns.localResolvers is longer than "
               "allowed";
    }
    return "Invalid start options";
  }
};

VESKAR_ERROR_CODE_ENUM(flowgate::StartOptionError);
