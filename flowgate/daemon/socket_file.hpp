#pragma once

// The control socket's place in the file system: its directory, a stale file
// left by a daemon that died, the file's mode and group, and its removal.
// Failures throw runtime::SystemError.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>

namespace flowgate::daemon {

// The identity of a file, so a later removal can check it is still ours.
using FileIdentity = std::pair<dev_t, ino_t>;

gid_t groupNamed(const std::string& name);

// Makes the parent directory (0755) when missing and removes a socket file no
// daemon listens on; a file that is not a socket, or a live socket, is EADDRINUSE.
void prepareSocketPath(const std::filesystem::path& path);

// Mode 0660 and the given group, after bind; returns the file's identity.
FileIdentity restrictSocketFile(const std::filesystem::path& path, gid_t group);

// Removes the file when it is still the one `identity` names.
void removeSocketFile(const std::filesystem::path& path, const FileIdentity& identity);

}  // namespace flowgate::daemon
