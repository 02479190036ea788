#include "flowgate/daemon/running_tunnel_file.hpp"

#include "platform/atomic_file.hpp"
#include "platform/tunnel_host_protocol.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace flowgate::daemon {

namespace json = boost::json;

RunningTunnelFile::RunningTunnelFile(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

void RunningTunnelFile::save(const RunningTunnel& running) const {
  platform::createDirectories(directory_, 0700);
  platform::writeFileAtomically(
      path(),
      json::serialize(
          json::object{{"identifier", running.identifier},
                       {"options", platform::tunnel_protocol::encodeOptions(running.options)}}),
      0600);
}

std::optional<RunningTunnel> RunningTunnelFile::load() const {
  try {
    auto bytes = platform::readFileNoFollow(path());
    if (!bytes) return std::nullopt;
    auto value = json::parse(*bytes);
    const auto& record = value.as_object();
    RunningTunnel running{std::string(record.at("identifier").as_string()),
                          platform::tunnel_protocol::decodeOptions(record.at("options"))};
    if (!running.identifier.empty()) return running;
  } catch (const std::exception&) {
  }
  remove();
  return std::nullopt;
}

void RunningTunnelFile::remove() const {
  std::error_code ignored;
  std::filesystem::remove(path(), ignored);
}

}  // namespace flowgate::daemon
