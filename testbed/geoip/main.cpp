// testbed-geoip: builds a GeoIP table file and its manifest from a text list.
//
//   testbed-geoip --source LIST --out geoip.bin --manifest manifest.json
//                 [--version N] [--url URL] [--built-at TIME]
//
// The file is decoded again before anything is written; both outputs are
// replaced atomically.

#include "flowgate/routing/geoip_file.hpp"
#include "flowgate/routing/geoip_file_writer.hpp"
#include "platform/atomic_file.hpp"
#include "runtime/text.hpp"
#include "testbed/cli/arguments.hpp"
#include "testbed/geoip/geoip_manifest.hpp"
#include "testbed/geoip/geoip_source.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <span>
#include <sstream>
#include <string>

namespace {

constexpr const char* usage =
    "usage: testbed-geoip --source LIST --out FILE --manifest FILE [--version N] [--url URL]\n"
    "                     [--built-at TIME]\n";

std::string nowText() {
  auto seconds = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  try {
    std::vector<std::string> words(argv + 1, argv + argc);
    auto parsed = testbed::parseArguments(words);
    if (parsed.help) {
      std::cout << usage;
      return 0;
    }
    if (!parsed.positional.empty()) throw testbed::UsageError("options only");
    for (const auto& [name, value] : parsed.options) options[name] = value;
  } catch (const testbed::UsageError&) {
    std::cerr << usage;
    return 2;
  }
  for (const char* required : {"source", "out", "manifest"}) {
    if (!options.contains(required)) {
      std::cerr << "testbed-geoip: missing --" << required << "\n" << usage;
      return 2;
    }
  }
  try {
    auto source = testbed::parseGeoIPSource(readFile(options["source"]));
    std::uint64_t version = source.version.value_or(1);
    if (options.contains("version")) {
      auto parsed =
          runtime::parseDecimal(options["version"], std::numeric_limits<std::uint64_t>::max());
      if (!parsed) throw std::invalid_argument("--version is not a whole number");
      version = *parsed;
    }
    auto file = flowgate::geoip::encode(version, source.direct, source.routes);
    std::string url = options.contains("url")
                          ? options["url"]
                          : "/v1/geoip/tables/" + std::to_string(version) + ".bin";
    std::string builtAt = options.contains("built-at") ? options["built-at"] : nowText();
    // Describing decodes the file: what is written is known to be readable.
    auto manifest = testbed::describeGeoIPFile(file, url, builtAt);
    platform::writeFileAtomically(
        options["out"], std::string_view(reinterpret_cast<const char*>(file.data()), file.size()),
        0644);
    platform::writeFileAtomically(options["manifest"], testbed::manifestJSON(manifest) + "\n",
                                  0644);
    std::cout << "version " << manifest.version << ", " << manifest.directCidrCount << " direct, "
              << manifest.routeCount << " routes, " << manifest.sizeBytes << " bytes, sha256 "
              << manifest.sha256 << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "testbed-geoip: " << e.what() << "\n";
    return 1;
  }
}
