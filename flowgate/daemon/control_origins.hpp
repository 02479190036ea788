#pragma once

// The control servers the daemon works for, by origin ("https://host" or
// "https://host:port"), and where it keeps each one's state: every origin has
// its own folder for its trust bundle, GeoIP table, refreshed bootstrap and
// tokens, so what one server sends never touches another's.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowgate::daemon {

// The origin of an https URL with a host: the host in lower case, the port
// only when it is not 443. Nothing for anything else.
std::optional<std::string> controlOrigin(std::string_view url);

// <dataDirectory>/origins/<origin's host and port>, every byte but [a-z0-9.-]
// percent-encoded, so no two origins share a folder and none leaves it.
std::filesystem::path originDirectory(const std::filesystem::path& dataDirectory,
                                      std::string_view origin);

class ControlOrigins {
 public:
  // Throws std::invalid_argument naming a URL that has no origin.
  explicit ControlOrigins(const std::vector<std::string>& urls);
  // The origin this build was made for.
  static ControlOrigins built();

  bool allows(std::string_view url) const;
  const std::vector<std::string>& origins() const { return origins_; }

 private:
  std::vector<std::string> origins_;
};

}  // namespace flowgate::daemon
