// testbed-pki: writes the lab's certificates and credential signing key.

#include "runtime/text.hpp"
#include "testbed/cli/arguments.hpp"
#include "testbed/pki/lab_pki.hpp"

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <string_view>

namespace {

constexpr const char* usage =
    "usage: testbed-pki --out DIR --node NAME=IPV4 [--node NAME=IPV4 ...]\n"
    "                   (--control-name NAME | --control-ip IPV4) [...]\n"
    "                   [--key-id ID] [--days N]\n";

testbed::LabPKIOptions parse(int argc, char** argv) {
  testbed::LabPKIOptions options;
  options.now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  std::vector<std::string> words(argv + 1, argv + argc);
  auto parsed = testbed::parseArguments(words);
  if (parsed.help || !parsed.positional.empty()) throw testbed::UsageError("options only");
  for (const auto& [name, value] : parsed.options) {
    auto flag = "--" + name;
    if (flag == "--out") {
      options.directory = value;
    } else if (flag == "--node") {
      auto equals = value.find('=');
      if (equals == std::string::npos) throw std::invalid_argument("--node wants NAME=IPV4");
      options.nodes.push_back({value.substr(0, equals), value.substr(equals + 1)});
    } else if (flag == "--control-name") {
      options.controlNames.push_back(value);
    } else if (flag == "--control-ip") {
      options.controlAddresses.push_back(value);
    } else if (flag == "--key-id") {
      options.credentialKeyId = value;
    } else if (flag == "--days") {
      auto days = runtime::parseDecimal(value, 36500);
      if (!days) throw std::invalid_argument("--days wants a number of days");
      options.validityDays = static_cast<int>(*days);
    } else {
      throw std::invalid_argument("unknown option " + std::string(flag));
    }
  }
  if (options.directory.empty()) throw std::invalid_argument("--out is required");
  if (options.nodes.empty()) throw std::invalid_argument("at least one --node is required");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  testbed::LabPKIOptions options;
  try {
    options = parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "testbed-pki: " << e.what() << "\n" << usage;
    return 2;
  }
  try {
    auto paths = testbed::createLabPKI(options);
    std::cout << "wrote " << paths.directory.string() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "testbed-pki: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
