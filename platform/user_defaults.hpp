#pragma once

// User defaults: small named settings of one program, kept per domain in the
// JSON file <directory>/<domain>.json. Values are JSON values (strings, booleans,
// records) or byte blobs; each getter answers only for its own kind, so a
// string stored under a key reads as no boolean and no data.
//
// Reading never fails: a missing, unreadable or corrupt file, or a symlink at
// its path, reads as an empty domain, and a corrupt file is left as it is until
// the next write replaces it. Writes re-read the file under an exclusive lock,
// apply the change and replace the file atomically (see atomic_file.hpp), so
// writers in several threads or processes never lose each other's keys; they
// throw runtime::SystemError, and refuse (ELOOP) a symlink at the file's path.
// Every call goes to the file, so changes made by another process are seen.

#include <sys/types.h>
#include <boost/json/value.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct UserDefaultsOptions {
  // Modes of the file and of directories the first write creates.
  mode_t fileMode = 0600;
  mode_t directoryMode = 0700;
};

class UserDefaults {
 public:
  // `domain` must be a plain file name (no "/", not "." or ".."); throws
  // std::invalid_argument otherwise. Nothing touches the disk before the first write.
  UserDefaults(std::filesystem::path directory, std::string_view domain,
               UserDefaultsOptions options = {});

  std::optional<boost::json::value> value(std::string_view key) const;
  std::optional<std::string> string(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  // Bytes stored with setData, exactly as given.
  std::optional<std::string> data(std::string_view key) const;

  void setValue(std::string_view key, boost::json::value value);
  void setString(std::string_view key, std::string_view value);
  void setBool(std::string_view key, bool value);
  void setData(std::string_view key, std::string_view bytes);
  void remove(std::string_view key);

  const std::filesystem::path& path() const { return path_; }

 private:
  std::optional<boost::json::value> entry(std::string_view key, std::string_view kind) const;
  // Applies `change` to the entries on disk; writes only when it reports a change.
  void update(const std::function<bool(boost::json::object&)>& change);

  std::filesystem::path directory_;
  std::filesystem::path path_;
  std::filesystem::path lockPath_;
  UserDefaultsOptions options_;
};

// Where the application keeps its user defaults: $XDG_CONFIG_HOME/veskar, else
// ~/.config/veskar. The daemon uses /var/lib/veskar instead.
std::filesystem::path standardUserDefaultsDirectory();

}  // namespace platform
