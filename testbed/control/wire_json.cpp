#include "testbed/control/wire_json.hpp"

#include <boost/json/serialize.hpp>

namespace testbed {

boost::json::value configToWire(const flowgate::ExtensionConfig& config) {
  auto wire = toWire(config);
  boost::json::object groups;
  for (const auto& [name, members] : config.nodeGroups) groups.emplace(name, toWire(members));
  wire.as_object()["node_groups"] = std::move(groups);
  return wire;
}

std::string errorBody(const std::string& code) {
  return boost::json::serialize(boost::json::object{{"code", code}});
}

}  // namespace testbed
