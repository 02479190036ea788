#pragma once

// Files that hold state and secrets: read without following a symlink planted at
// their path, and replaced whole, so a crash leaves either the old or the new
// content, never a mixture. Failures throw runtime::SystemError with the errno.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The content of the regular file at `path`; nothing when no file is there. A
// symlink at `path` fails with ELOOP, anything else that is not a regular file
// with EINVAL, a file larger than `maxSize` with EFBIG.
std::optional<std::string> readFileNoFollow(const std::filesystem::path& path,
                                            std::size_t maxSize = 64 * 1024 * 1024);

// Replaces the file at `path` with `bytes`: written to a temporary file beside
// it, synced, renamed over it, and the directory synced. The file gets exactly
// `mode` whatever the umask. A symlink at `path` is refused with ELOOP and
// neither it nor its target changes; on any failure the old file stays whole and
// the temporary file is removed.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// Creates `directory` and its missing parents with exactly `mode`; directories
// that exist are left as they are.
void createDirectories(const std::filesystem::path& directory, mode_t mode);

}  // namespace platform
