#include "platform/user_defaults.hpp"
#include "platform/unique_fd.hpp"

#include "runtime/base64.hpp"

#include "platform/atomic_file.hpp"
#include "platform/data_directory.hpp"
#include "runtime/error.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace platform {

namespace json = boost::json;

// On disk every key maps to an object with one member that says what it holds:
// {"value": <JSON value>} or {"data": "<base64>"}.
namespace {

constexpr std::string_view valueKind = "value";
constexpr std::string_view dataKind = "data";

std::string base64Encode(std::string_view bytes) {
  return runtime::base64::encode(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::optional<std::string> base64Decode(std::string_view text) {
  auto bytes = runtime::base64::decode(text);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

// The entries on disk; empty when the file is missing or corrupt.
json::object parseEntries(const std::optional<std::string>& text) {
  if (!text) return {};
  boost::system::error_code error;
  json::value parsed = json::parse(*text, error);
  if (error || !parsed.is_object()) return {};
  return std::move(parsed.as_object());
}

json::object tagged(std::string_view kind, json::value value) {
  json::object entry;
  entry[kind] = std::move(value);
  return entry;
}

class FileLock {
 public:
  FileLock(const std::filesystem::path& path, mode_t mode)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode)) {
    if (!fd_) fail();
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) fail();
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Closing the descriptor releases the lock.
  ~FileLock() = default;

 private:
  [[noreturn]] static void fail() {
    throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()));
  }
  UniqueFd fd_;
};

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path directory, std::string_view domain,
                           UserDefaultsOptions options)
    : directory_(std::move(directory)), options_(options) {
  if (domain.empty() || domain == "." || domain == ".." ||
      domain.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    throw std::invalid_argument("user defaults domain must be a plain file name");
  }
  path_ = directory_ / (std::string(domain) + ".json");
  lockPath_ = directory_ / (std::string(domain) + ".lock");
}

std::optional<json::value> UserDefaults::entry(std::string_view key, std::string_view kind) const {
  std::optional<std::string> text;
  try {
    text = readFileNoFollow(path_);
  } catch (const runtime::SystemError&) {
    return std::nullopt;
  }
  json::object entries = parseEntries(text);
  auto found = entries.find(key);
  if (found == entries.end() || !found->value().is_object()) return std::nullopt;
  const json::object& tag = found->value().as_object();
  auto held = tag.find(kind);
  if (tag.size() != 1 || held == tag.end()) return std::nullopt;
  return held->value();
}

std::optional<json::value> UserDefaults::value(std::string_view key) const {
  return entry(key, valueKind);
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  auto held = entry(key, valueKind);
  if (!held || !held->is_string()) return std::nullopt;
  return std::string(held->as_string());
}

std::optional<bool> UserDefaults::boolean(std::string_view key) const {
  auto held = entry(key, valueKind);
  if (!held || !held->is_bool()) return std::nullopt;
  return held->as_bool();
}

std::optional<std::string> UserDefaults::data(std::string_view key) const {
  auto held = entry(key, dataKind);
  if (!held || !held->is_string()) return std::nullopt;
  return base64Decode(held->as_string());
}

void UserDefaults::setValue(std::string_view key, json::value value) {
  json::object replacement = tagged(valueKind, std::move(value));
  update([&](json::object& entries) {
    entries[key] = std::move(replacement);
    return true;
  });
}

void UserDefaults::setString(std::string_view key, std::string_view value) {
  setValue(key, json::string(value));
}

void UserDefaults::setBool(std::string_view key, bool value) { setValue(key, value); }

void UserDefaults::setData(std::string_view key, std::string_view bytes) {
  json::object replacement = tagged(dataKind, json::string(base64Encode(bytes)));
  update([&](json::object& entries) {
    entries[key] = std::move(replacement);
    return true;
  });
}

void UserDefaults::remove(std::string_view key) {
  // Removing from a domain that was never written creates nothing.
  try {
    if (!readFileNoFollow(path_)) return;
  } catch (const runtime::SystemError&) {
    // update() reports it.
  }
  update([&](json::object& entries) { return entries.erase(key) > 0; });
}

void UserDefaults::update(const std::function<bool(json::object&)>& change) {
  createDirectories(directory_, options_.directoryMode);
  FileLock lock(lockPath_, options_.fileMode);
  // Unlike reading, a file that cannot be read (a symlink, no permission) stops
  // the write: replacing it would drop every other key it holds.
  json::object entries = parseEntries(readFileNoFollow(path_));
  if (!change(entries)) return;
  writeFileAtomically(path_, json::serialize(entries), options_.fileMode);
}

std::filesystem::path standardUserDefaultsDirectory() { return userConfigDirectory() / "veskar"; }

}  // namespace platform
