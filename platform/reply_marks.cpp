#include "platform/reply_marks.hpp"

#include "platform/connector.hpp"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <nftables/libnftables.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw boost::system::system_error(error, boost::system::system_category(), what);
}

std::string markText() { return std::to_string(kRoutingMark); }

}  // namespace

ReplyMarks::ReplyMarks()
    : context_(nft_ctx_new(NFT_CTX_DEFAULT)),
      srcValidMark_(::open("/proc/sys/net/ipv4/conf/all/src_valid_mark", O_RDWR | O_CLOEXEC)) {
  if (!context_) fail(ENOMEM, "nftables context");
  nft_ctx_buffer_output(context_);
  nft_ctx_buffer_error(context_);
}

ReplyMarks::~ReplyMarks() { nft_ctx_free(context_); }

void ReplyMarks::run(const char* commands, bool ignoreMissing) {
  if (nft_run_cmd_from_buffer(context_, commands) == 0) return;
  std::string error = nft_ctx_get_error_buffer(context_);
  if (ignoreMissing && error.find("No such file or directory") != std::string::npos) return;
  fail(EINVAL, "nftables: " + error);
}

void ReplyMarks::install() {
  if (!srcValidMark_) fail(errno, "src_valid_mark");
  if (!foundSrcValidMark_) {
    char value[16] = {};
    auto n = ::pread(srcValidMark_.get(), value, sizeof value - 1, 0);
    if (n <= 0) fail(n < 0 ? errno : EIO, "src_valid_mark");
    foundSrcValidMark_ = std::string(value, static_cast<std::size_t>(n));
  }
  if (::pwrite(srcValidMark_.get(), "1\n", 2, 0) != 2) fail(errno, "src_valid_mark");
  // One transaction: an earlier table of ours goes, the new one comes.
  auto commands =
      "add table ip veskar\n"
      "delete table ip veskar\n"
      "table ip veskar {\n"
      "  chain save { type filter hook postrouting priority mangle; policy accept;\n"
      "    meta mark " +
      markText() +
      " ct mark set meta mark\n  }\n"
      "  chain restore { type filter hook prerouting priority mangle; policy accept;\n"
      "    ct mark " +
      markText() +
      " meta mark set ct mark\n  }\n"
      "}\n";
  run(commands.c_str(), false);
}

void ReplyMarks::remove() {
  run("add table ip veskar\ndelete table ip veskar\n", true);
  if (!foundSrcValidMark_) return;
  auto& value = *foundSrcValidMark_;
  if (::pwrite(srcValidMark_.get(), value.data(), value.size(), 0) !=
      static_cast<ssize_t>(value.size())) {
    fail(errno, "src_valid_mark");
  }
  foundSrcValidMark_.reset();
}

}  // namespace platform
