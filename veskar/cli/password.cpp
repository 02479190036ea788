#include "veskar/cli/password.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

namespace veskar::cli {

namespace {

constexpr int kInterrupt = 0x03;  // Ctrl-C
constexpr int kEndOfFile = 0x04;  // Ctrl-D
constexpr int kBackspace = 0x08;
constexpr int kKillLine = 0x15;  // Ctrl-U
constexpr int kDelete = 0x7f;

TypedLine readScriptLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return {};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return {LineEnd::entered, std::move(line)};
}

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xc0) == 0x80; }

// The terminal in raw-ish mode for its lifetime: nothing echoed, no line
// editing, Ctrl-C a byte like any other rather than a signal that would kill
// us before the settings are put back.
class QuietTerminal {
 public:
  explicit QuietTerminal(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    quiet.c_cc[VMIN] = 1;
    quiet.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~QuietTerminal() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;

  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

TypedLine readTypedLine(const std::function<int()>& nextByte) {
  std::string text;
  for (;;) {
    int byte = nextByte();
    if (byte < 0) return {};
    switch (byte) {
      case '\r':
      case '\n': return {LineEnd::entered, std::move(text)};
      case kInterrupt: return {LineEnd::interrupted, {}};
      case kEndOfFile:
        if (text.empty()) return {};
        break;
      case kBackspace:
      case kDelete:
        // A whole character, however many bytes UTF-8 gave it.
        while (!text.empty() && isContinuationByte(text.back())) text.pop_back();
        if (!text.empty()) text.pop_back();
        break;
      case kKillLine: text.clear(); break;
      default: text.push_back(static_cast<char>(byte));
    }
  }
}

TypedLine readLineUnechoed(int fd) {
  QuietTerminal quiet(fd);
  if (!quiet.active()) return {};
  return readTypedLine([fd] {
    unsigned char byte = 0;
    for (;;) {
      auto n = ::read(fd, &byte, 1);
      if (n == 1) return static_cast<int>(byte);
      if (n < 0 && errno == EINTR) continue;
      return -1;
    }
  });
}

TypedLine readPassword(bool fromStandardInput, const std::string& prompt) {
  if (fromStandardInput) return readScriptLine();
  if (!::isatty(STDIN_FILENO)) return {};
  std::cerr << prompt << std::flush;
  auto line = readLineUnechoed(STDIN_FILENO);
  std::cerr << "\n";
  return line;
}

}  // namespace veskar::cli
