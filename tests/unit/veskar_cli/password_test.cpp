#include "veskar/cli/password.hpp"

#include "platform/unique_fd.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace veskar::cli {
namespace {

TypedLine typed(std::string_view bytes) {
  std::size_t at = 0;
  return readTypedLine(
      [&] { return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : -1; });
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
      {"se\x04cret\r", LineEnd::entered, "secret"},  // Ctrl-D ends only an empty line
      {"secret", LineEnd::endOfInput, ""},           // closed before Enter
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
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      termios now{};
      while (::tcgetattr(slave, &now) == 0 && (now.c_lflag & ECHO) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
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

}  // namespace
}  // namespace veskar::cli
