#pragma once

// Runs a program to its end with `input` on its standard input. Throws a
// system error when it cannot start or does not exit with status 0.

#include <string>
#include <string_view>
#include <vector>

namespace platform {

void runProgram(const std::vector<std::string>& arguments, std::string_view input = {});

}  // namespace platform
