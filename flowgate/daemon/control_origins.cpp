#include "flowgate/daemon/control_origins.hpp"

#include "platform/url.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#ifndef VESKAR_CONTROL_BASE_URL
#define VESKAR_CONTROL_BASE_URL "https://control.lab.example"
#endif

namespace flowgate::daemon {

std::optional<std::string> controlOrigin(std::string_view url) {
  auto parsed = platform::parseURL(url);
  if (!parsed || parsed->scheme() != "https" || !parsed->has_authority()) return std::nullopt;
  std::string host(parsed->encoded_host());
  if (host.empty()) return std::nullopt;
  std::ranges::transform(host, host.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string origin = "https://" + host;
  if (parsed->has_port() && parsed->port() != "443") {
    if (parsed->port().empty()) return std::nullopt;
    origin += ":" + std::string(parsed->port());
  }
  return origin;
}

std::filesystem::path originDirectory(const std::filesystem::path& dataDirectory,
                                      std::string_view origin) {
  constexpr std::string_view scheme = "https://";
  if (origin.starts_with(scheme)) origin.remove_prefix(scheme.size());
  std::string folder;
  for (unsigned char c : origin) {
    if (std::islower(c) || std::isdigit(c) || c == '.' || c == '-') {
      folder += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      folder += escaped;
    }
  }
  // "." and ".." are names of their own, not folders.
  if (folder.find_first_not_of('.') == std::string::npos) folder.insert(0, "%2E");
  return dataDirectory / "origins" / folder;
}

ControlOrigins::ControlOrigins(const std::vector<std::string>& urls) {
  for (const auto& url : urls) {
    auto origin = controlOrigin(url);
    if (!origin) throw std::invalid_argument("not an https control server: " + url);
    if (std::ranges::find(origins_, *origin) == origins_.end()) origins_.push_back(*origin);
  }
}

ControlOrigins ControlOrigins::built() { return ControlOrigins({VESKAR_CONTROL_BASE_URL}); }

bool ControlOrigins::allows(std::string_view url) const {
  auto origin = controlOrigin(url);
  return origin && std::ranges::find(origins_, *origin) != origins_.end();
}

}  // namespace flowgate::daemon
