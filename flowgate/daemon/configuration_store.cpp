#include "flowgate/daemon/configuration_store.hpp"

#include "platform/atomic_file.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cctype>
#include <system_error>

namespace flowgate::daemon {

namespace {

namespace json = boost::json;

json::object encode(const platform::TunnelConfiguration& configuration) {
  return {{"identifier", configuration.identifier},
          {"providerBundleIdentifier", configuration.providerBundleIdentifier},
          {"serverAddress", configuration.serverAddress},
          {"providerConfiguration", configuration.providerConfiguration},
          {"localizedDescription", configuration.localizedDescription},
          {"enabled", configuration.enabled}};
}

// Throws on anything that is not a configuration as save() writes it.
platform::TunnelConfiguration decode(const json::value& value) {
  const auto& object = value.as_object();
  platform::TunnelConfiguration configuration;
  configuration.identifier = object.at("identifier").as_string();
  configuration.providerBundleIdentifier = object.at("providerBundleIdentifier").as_string();
  configuration.serverAddress = object.at("serverAddress").as_string();
  configuration.providerConfiguration = object.at("providerConfiguration").as_object();
  configuration.localizedDescription = object.at("localizedDescription").as_string();
  configuration.enabled = object.at("enabled").as_bool();
  if (configuration.identifier.empty()) throw std::invalid_argument("empty identifier");
  return configuration;
}

}  // namespace

ConfigurationStore::ConfigurationStore(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::vector<platform::TunnelConfiguration> ConfigurationStore::load() {
  try {
    // Inside the recovery: a file that cannot be read must not stop the daemon.
    auto bytes = platform::readFileNoFollow(path(), maxFileSize);
    if (!bytes) return {};
    std::vector<platform::TunnelConfiguration> configurations;
    auto document = json::parse(*bytes);
    for (const auto& entry : document.as_object().at("configurations").as_array()) {
      configurations.push_back(decode(entry));
    }
    return configurations;
  } catch (const std::exception&) {
    // Kept for whoever wants to look at it; the next save starts afresh.
    std::error_code ignored;
    std::filesystem::rename(path(), directory_ / (std::string(fileName) + ".corrupt"), ignored);
    return {};
  }
}

void ConfigurationStore::checkSize(const platform::TunnelConfiguration& configuration) {
  if (json::serialize(encode(configuration)).size() > maxConfigurationSize) {
    runtime::fail(platform::TunnelHostError::configurationTooLarge);
  }
}

void ConfigurationStore::save(const std::vector<platform::TunnelConfiguration>& configurations) {
  json::array entries;
  for (const auto& configuration : configurations) entries.push_back(encode(configuration));
  platform::createDirectories(directory_, 0700);
  platform::writeFileAtomically(path(), json::serialize(json::object{{"configurations", entries}}),
                                0600);
}

std::string newConfigurationIdentifier() {
  auto text = boost::uuids::to_string(boost::uuids::random_generator()());
  std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

}  // namespace flowgate::daemon
