#include "tests/support/tunnel/namespace_command.hpp"

namespace testsupport {

std::vector<std::string> insideNamespace(const std::string& netns,
                                         std::vector<std::string> command) {
  std::vector<std::string> full{"ip", "netns", "exec", netns};
  full.insert(full.end(), command.begin(), command.end());
  return full;
}

}  // namespace testsupport
