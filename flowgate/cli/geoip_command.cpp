#include "flowgate/cli/geoip_command.hpp"

#include "flowgate/routing/geoip_error.hpp"
#include "flowgate/routing/geoip_file.hpp"
#include "platform/unique_fd.hpp"
#include "runtime/ipv4.hpp"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace flowgate::cli {

namespace {

constexpr std::string_view usage =
    "flowgate geoip inspect FILE\n"
    "flowgate geoip lookup FILE ADDRESS...\n";

int usageError(std::ostream& err, std::string_view reason) {
  err << "flowgate geoip: " << reason << "\nusage:\n" << usage;
  return exitUsage;
}

// The file's bytes, cut just past the largest table file's length: that is
// enough to reject a longer one, and a device such as /dev/zero cannot make us
// read forever.
std::vector<std::uint8_t> readTableFile(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), path);
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  while (bytes.size() <= geoip::maxFileSize) {
    auto n = ::read(fd.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), path);
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  fd.reset();
  if (bytes.size() > geoip::maxFileSize + 1) bytes.resize(geoip::maxFileSize + 1);
  return bytes;
}

// Reads and decodes the file, or reports why not (exit status 1).
std::optional<GeoIPTable> loadTable(std::string_view path, std::ostream& err) {
  try {
    return geoip::decode(readTableFile(std::string(path)));
  } catch (const runtime::SystemError& e) {
    err << e.code().message() << "\n";  // a table file's own error: "invalidFormat"
  } catch (const std::system_error& e) {
    err << "flowgate geoip: " << e.what() << "\n";
  }
  return std::nullopt;
}

int inspect(Arguments arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() != 1) return usageError(err, "inspect takes one FILE");
  auto table = loadTable(arguments[0], err);
  if (!table) return exitFailure;
  out << "version: " << table->version() << "\n"
      << "direct networks: " << table->directCIDRs().size() << "\n"
      << "routes: " << table->routes().size() << "\n"
      << "policy ranges: " << table->policyRanges().size() << "\n";
  return exitSuccess;
}

int lookup(Arguments arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() < 2) return usageError(err, "lookup takes a FILE and at least one ADDRESS");
  auto texts = arguments.subspan(1);
  std::vector<std::uint32_t> addresses;
  for (auto text : texts) {
    auto address = runtime::ipv4::ipv4Value(text);
    if (!address) return usageError(err, "not an IPv4 address: " + std::string(text));
    addresses.push_back(*address);
  }
  auto table = loadTable(arguments[0], err);
  if (!table) return exitFailure;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    out << texts[k];
    auto action = table->action(addresses[k]);
    if (!action) {
      out << " none\n";
    } else if (action->isDirect()) {
      out << " direct\n";
    } else {
      out << " region " << action->regionCode().view() << "\n";
    }
  }
  return exitSuccess;
}

int run(Arguments arguments, std::ostream& out, std::ostream& err) {
  if (arguments.empty()) return usageError(err, "missing subcommand");
  auto rest = arguments.subspan(1);
  if (arguments[0] == "inspect") return inspect(rest, out, err);
  if (arguments[0] == "lookup") return lookup(rest, out, err);
  return usageError(err, "unknown subcommand: " + std::string(arguments[0]));
}

}  // namespace

const Command geoipCommand{"geoip", usage, run};

}  // namespace flowgate::cli
