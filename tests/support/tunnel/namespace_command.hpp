#pragma once

// A command line run inside a lab namespace.

#include <string>
#include <vector>

namespace testsupport {

std::vector<std::string> insideNamespace(const std::string& netns,
                                         std::vector<std::string> command);

}  // namespace testsupport
