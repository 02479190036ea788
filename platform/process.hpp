#pragma once

// Runs a program to its end with `input` on its standard input. Throws a
// system error when it cannot start or does not exit with status 0, and a
// timed-out one (ETIMEDOUT) when it has not ended by the deadline: then it and
// whatever it started in its process group are killed.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::chrono::milliseconds kProgramDeadline{5000};

void runProgram(const std::vector<std::string>& arguments, std::string_view input = {},
                std::chrono::milliseconds deadline = kProgramDeadline);

}  // namespace platform
