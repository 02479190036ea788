#include "veskar/cli/password.hpp"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace veskar::cli {

namespace {

std::optional<std::string> readLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Turns the terminal's echo off for its lifetime.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

}  // namespace

std::optional<std::string> readPassword(bool fromStandardInput, const std::string& prompt) {
  if (fromStandardInput) return readLine();
  if (!::isatty(STDIN_FILENO)) return std::nullopt;
  std::cerr << prompt << std::flush;
  std::optional<std::string> line;
  {
    EchoOff quiet;
    line = readLine();
  }
  std::cerr << "\n";
  return line;
}

}  // namespace veskar::cli
