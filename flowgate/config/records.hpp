#pragma once

// The tunnel's configuration records: the device's authorization plus the
// nodes, routes, paths, node groups, DNS and GeoIP settings. Immutable plain
// values; the application uses the same types under its own names.

#include "runtime/record_hash.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace flowgate {

struct ExtensionNode {
  std::uint64_t id = 0;
  std::string name;
  std::string address;  // "host:port"
  std::optional<std::string> tlsServerName;
  std::int64_t priority = 0;

  friend bool operator==(const ExtensionNode&, const ExtensionNode&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("id", self.id);
    field("name", self.name);
    field("address", self.address);
    field("tlsServerName", self.tlsServerName);
    field("priority", self.priority);
  }
};

struct ExtensionRoute {
  std::string cidr;
  std::vector<std::uint64_t> nodes;

  friend bool operator==(const ExtensionRoute&, const ExtensionRoute&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("cidr", self.cidr);
    field("nodes", self.nodes);
  }
};

struct ExtensionPath {
  std::vector<std::uint64_t> nodes;
  std::int64_t priority = 0;

  friend bool operator==(const ExtensionPath&, const ExtensionPath&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("nodes", self.nodes);
    field("priority", self.priority);
  }
};

struct ExtensionNodeGroupMember {
  std::uint64_t nodeId = 0;
  std::int64_t priority = 0;
  std::int64_t weight = 0;

  friend bool operator==(const ExtensionNodeGroupMember&,
                         const ExtensionNodeGroupMember&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("nodeId", self.nodeId);
    field("priority", self.priority);
    field("weight", self.weight);
  }
};

struct ExtensionDNSConfig {
  std::int64_t version = 0;
  std::vector<std::string> servers;
  std::string localRegion;
  std::vector<std::string> localResolvers;
  std::string defaultRegion;
  std::int64_t queryTimeoutMs = 0;
  std::int64_t retries = 0;
  std::int64_t positiveTtlCapSeconds = 0;
  std::int64_t negativeTtlSeconds = 0;
  std::int64_t failureTtlSeconds = 0;

  friend bool operator==(const ExtensionDNSConfig&, const ExtensionDNSConfig&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("version", self.version);
    field("servers", self.servers);
    field("localRegion", self.localRegion);
    field("localResolvers", self.localResolvers);
    field("defaultRegion", self.defaultRegion);
    field("queryTimeoutMs", self.queryTimeoutMs);
    field("retries", self.retries);
    field("positiveTtlCapSeconds", self.positiveTtlCapSeconds);
    field("negativeTtlSeconds", self.negativeTtlSeconds);
    field("failureTtlSeconds", self.failureTtlSeconds);
  }
};

struct ExtensionGeoIPManifest {
  std::uint64_t version = 0;
  std::string sha256;
  std::int64_t sizeBytes = 0;
  std::int64_t directCidrCount = 0;
  std::int64_t routeCount = 0;
  std::string builtAt;
  std::string url;

  friend bool operator==(const ExtensionGeoIPManifest&, const ExtensionGeoIPManifest&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("version", self.version);
    field("sha256", self.sha256);
    field("sizeBytes", self.sizeBytes);
    field("directCidrCount", self.directCidrCount);
    field("routeCount", self.routeCount);
    field("builtAt", self.builtAt);
    field("url", self.url);
  }
};

struct ExtensionConfig {
  std::int64_t version = 0;
  std::int64_t mtu = 0;
  std::string vpnCidr;
  std::vector<ExtensionNode> nodes;
  std::vector<ExtensionRoute> routes;
  std::optional<std::vector<ExtensionPath>> paths;
  std::vector<std::uint64_t> defaultNodes;
  std::map<std::string, std::vector<ExtensionNodeGroupMember>> nodeGroups;
  std::optional<ExtensionGeoIPManifest> geoip;
  ExtensionDNSConfig dns;

  friend bool operator==(const ExtensionConfig&, const ExtensionConfig&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("version", self.version);
    field("mtu", self.mtu);
    field("vpnCidr", self.vpnCidr);
    field("nodes", self.nodes);
    field("routes", self.routes);
    field("paths", self.paths);
    field("defaultNodes", self.defaultNodes);
    field("nodeGroups", self.nodeGroups);
    field("geoip", self.geoip);
    field("dns", self.dns);
  }
};

struct ExtensionBootstrap {
  std::string controlURL;
  std::vector<std::string> controlIPv4;
  std::string deviceKey;
  std::uint64_t deviceID = 0;
  std::string deviceCredential;
  std::string credentialExpiresAt;
  std::string vpnIPv4;
  std::string leaseExpiresAt;
  ExtensionConfig config;
  std::vector<std::string> localRoutes;

  friend bool operator==(const ExtensionBootstrap&, const ExtensionBootstrap&) = default;
  template <class Self, class Field>
  static void describe(Self& self, Field&& field) {
    field("controlURL", self.controlURL);
    field("controlIPv4", self.controlIPv4);
    field("deviceKey", self.deviceKey);
    field("deviceID", self.deviceID);
    field("deviceCredential", self.deviceCredential);
    field("credentialExpiresAt", self.credentialExpiresAt);
    field("vpnIPv4", self.vpnIPv4);
    field("leaseExpiresAt", self.leaseExpiresAt);
    field("config", self.config);
    field("localRoutes", self.localRoutes);
  }
};

}  // namespace flowgate

template <>
struct std::hash<flowgate::ExtensionNode> : runtime::RecordHasher<flowgate::ExtensionNode> {};
template <>
struct std::hash<flowgate::ExtensionRoute> : runtime::RecordHasher<flowgate::ExtensionRoute> {};
template <>
struct std::hash<flowgate::ExtensionPath> : runtime::RecordHasher<flowgate::ExtensionPath> {};
template <>
struct std::hash<flowgate::ExtensionNodeGroupMember>
    : runtime::RecordHasher<flowgate::ExtensionNodeGroupMember> {};
template <>
struct std::hash<flowgate::ExtensionGeoIPManifest>
    : runtime::RecordHasher<flowgate::ExtensionGeoIPManifest> {};
