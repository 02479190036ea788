#include "platform/resolv_conf_dns.hpp"

#include "platform/atomic_file.hpp"
#include "runtime/error.hpp"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

// A symlinked resolver file (to a service's stub file) is saved as its target.
fs::path linkBackup(const fs::path& backup) { return fs::path(backup).concat(".link"); }

std::string render(const DNSSettings& settings) {
  std::string text = std::string(kResolvConfMarker) + "\n";
  for (const auto& server : settings.servers) {
    if (isIPAddressLiteral(server)) text += "nameserver " + server + "\n";
  }
  std::string search;
  if (!settings.matchDomainsNoSearch) {
    for (const auto& domain : settings.matchDomains) {
      if (!domain.empty()) search += " " + domain;
    }
  }
  if (!search.empty()) text += "search" + search + "\n";
  return text;
}

bool isSymlink(const fs::path& path) {
  std::error_code error;
  return fs::is_symlink(fs::symlink_status(path, error));
}

// The resolver file is replaced by a rename, except where it is a mount
// point (as `ip netns exec` makes it of /etc/netns/NAME/resolv.conf), or the
// one writable file in a read-only /etc (the confined service): the rename
// fails with EBUSY or EROFS, and only a rewrite in place reaches it.
void writeResolverFile(const fs::path& path, const std::string& content) {
  try {
    writeFileAtomically(path, content, 0644);
  } catch (const runtime::SystemError& e) {
    if (e.code() != boost::system::errc::device_or_resource_busy &&
        e.code() != boost::system::errc::read_only_file_system) {
      throw;
    }
    auto* out = std::fopen(path.c_str(), "we");
    if (!out)
      throw runtime::SystemError(runtime::ErrorCode(errno, boost::system::system_category()));
    bool written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
      throw runtime::SystemError(runtime::ErrorCode(EIO, boost::system::system_category()));
    }
  }
}

}  // namespace

ResolvConfDNS::ResolvConfDNS(ResolvConfPaths paths) : paths_(std::move(paths)) {}

bool ResolvConfDNS::fileIsOurs() const {
  if (isSymlink(paths_.file)) return false;
  auto content = readFileNoFollow(paths_.file);
  return content && content->starts_with(kResolvConfMarker);
}

void ResolvConfDNS::apply(const std::string&, int, const DNSSettings& settings) {
  bool saved = fs::exists(paths_.backup) || isSymlink(linkBackup(paths_.backup));
  if (saved && !fileIsOurs()) {
    // Someone rewrote the file while we ran: theirs is the original now.
    fs::remove(paths_.backup);
    fs::remove(linkBackup(paths_.backup));
    saved = false;
  }
  if (!saved) {
    createDirectories(paths_.backup.parent_path(), 0700);
    if (isSymlink(paths_.file)) {
      fs::create_symlink(fs::read_symlink(paths_.file), linkBackup(paths_.backup));
    } else {
      auto content = readFileNoFollow(paths_.file);
      writeFileAtomically(paths_.backup, content.value_or(""), 0600);
    }
  }
  if (isSymlink(paths_.file)) {
    // The atomic writer will not replace a symlink; a rename of our own does,
    // so the file is never missing.
    auto written = fs::path(paths_.file).concat(".flowgate-new");
    writeFileAtomically(written, render(settings), 0644);
    fs::rename(written, paths_.file);
  } else {
    writeResolverFile(paths_.file, render(settings));
  }
  applied_ = settings;
}

void ResolvConfDNS::reassert() {
  if (applied_ && !fileIsOurs()) apply({}, 0, *applied_);
}

void ResolvConfDNS::restore() {
  auto link = linkBackup(paths_.backup);
  bool hasLink = isSymlink(link);
  bool hasCopy = fs::exists(paths_.backup);
  if (!hasLink && !hasCopy) return;
  if (fileIsOurs() || !fs::exists(fs::symlink_status(paths_.file))) {
    if (hasLink) {
      auto target = fs::read_symlink(link);
      auto temporary = fs::path(paths_.file).concat(".flowgate-link");
      fs::remove(temporary);
      fs::create_symlink(target, temporary);
      fs::rename(temporary, paths_.file);
    } else {
      auto content = readFileNoFollow(paths_.backup);
      writeResolverFile(paths_.file, content.value_or(""));
    }
  }
  // Only now: a crash before this point finds the copy again at the next start.
  fs::remove(link);
  fs::remove(paths_.backup);
}

void ResolvConfDNS::revert() {
  applied_.reset();
  restore();
}

void ResolvConfDNS::removeLeftovers() { restore(); }

std::optional<std::string> ResolvConfDNS::originalContent(const ResolvConfPaths& paths) {
  try {
    auto link = linkBackup(paths.backup);
    if (isSymlink(link)) {
      auto target = fs::read_symlink(link);
      if (target.is_relative()) target = paths.file.parent_path() / target;
      auto content = readFileNoFollow(fs::weakly_canonical(target));
      if (content) return content;
    }
    if (auto saved = readFileNoFollow(paths.backup)) return saved;
    // The file is usually a symlink to a service's file; following it is meant.
    auto target = fs::weakly_canonical(paths.file);
    return readFileNoFollow(target);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace platform
