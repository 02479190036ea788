#include "veskar/cli/password.hpp"

#include "platform/unique_fd.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace veskar::cli {
namespace {

TypedLine typed(std::string_view bytes) {
  std::size_t at = 0;
  return readTypedLine(
      [&] { return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : -1; });
}

// Whether the terminal at `fd` stops echoing within five seconds.
bool quietedSoon(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  termios now{};
  while (::tcgetattr(fd, &now) == 0 && (now.c_lflag & ECHO)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(TypedLine, EndsAndEditsAsATerminalWould) {
  struct Case {
    std::string_view bytes;
    LineEnd end;
    std::string text;
  };
  const Case cases[] = {
      {"secret\r", LineEnd::entered, "secret"},
      {"secret\nignored", LineEnd::entered, "secret"},
      {"\r", LineEnd::entered, ""},
      {"sec\x03ret\r", LineEnd::interrupted, ""},
      {"\x03", LineEnd::interrupted, ""},
      {"\x04secret\r", LineEnd::endOfInput, ""},
      {"se\x04"
       "cret\r",
       LineEnd::entered, "secret"},         // Ctrl-D ends only an empty line
      {"secret", LineEnd::endOfInput, ""},  // closed before Enter
      {"", LineEnd::endOfInput, ""},
      {"ab\x7f\x7f\x7fxy\x08z\r", LineEnd::entered, "xz"},
      {"p\xc3\xa4\x7f\r", LineEnd::entered, "p"},  // a two-byte character erased whole
      {"wrong\x15right\r", LineEnd::entered, "right"},
  };
  for (const auto& c : cases) {
    auto line = typed(c.bytes);
    EXPECT_EQ(line.end, c.end) << c.bytes;
    EXPECT_EQ(line.text, c.text) << c.bytes;
  }
}

// Types `bytes` at a pseudo-terminal once the reader has quieted it.
TEST(UnechoedLine, LeavesTheTerminalAsItWasHoweverTheLineEnds) {
  struct Case {
    std::string_view bytes;
    LineEnd end;
    std::string text;
  };
  const Case cases[] = {{"secret\r", LineEnd::entered, "secret"},
                        {"sec\x03", LineEnd::interrupted, ""},
                        {"\x04", LineEnd::endOfInput, ""}};
  for (const auto& c : cases) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    platform::UniqueFd masterEnd(master), slaveEnd(slave);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);

    std::thread typist([&] {
      EXPECT_TRUE(quietedSoon(slave));
      ASSERT_EQ(::write(master, c.bytes.data(), c.bytes.size()),
                static_cast<ssize_t>(c.bytes.size()));
    });
    auto line = readLineUnechoed(slave);
    typist.join();

    EXPECT_EQ(line.end, c.end) << c.bytes;
    EXPECT_EQ(line.text, c.text) << c.bytes;
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << c.bytes;
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]) << c.bytes;
    pollfd echoed{master, POLLIN, 0};
    EXPECT_EQ(::poll(&echoed, 1, 0), 0) << "the terminal echoed " << c.bytes;
  }
}

// The real command at the prompt: Ctrl-C ends it as interrupted, before any
// sign-in (the control server named does not exist), the terminal restored.
TEST(LoginAtATerminal, CtrlCEndsTheCommandAsInterruptedAndRestoresTheTerminal) {
  testsupport::TemporaryDirectory home("veskarctl-pty");
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  platform::UniqueFd masterEnd(master), slaveEnd(slave);
  termios before{};
  ASSERT_EQ(::tcgetattr(slave, &before), 0);

  std::vector<std::string> environment{
      "HOME=" + home.path().string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
      "XDG_DATA_HOME=" + (home / "data").string(), "XDG_RUNTIME_DIR=" + home.path().string(),
      "VESKAR_SOCKET=" + (home / "none.sock").string()};
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setsid();
    ::ioctl(slave, TIOCSCTTY, 0);
    for (int fd : {0, 1, 2}) ::dup2(slave, fd);
    ::execle(VESKARCTL_BIN, "veskarctl", "login", "--phone", "+15550100", "--control-url",
             "https://control.invalid", static_cast<char*>(nullptr), envp.data());
    ::_exit(127);
  }
  EXPECT_TRUE(quietedSoon(slave));
  ASSERT_EQ(::write(master, "sec\x03", 4), 4);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  std::string shown(4096, '\0');
  auto n = ::read(master, shown.data(), shown.size());
  shown.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  EXPECT_NE(shown.find("Password: "), std::string::npos) << shown;
  EXPECT_EQ(shown.find("sec"), std::string::npos) << shown;
}

}  // namespace
}  // namespace veskar::cli
