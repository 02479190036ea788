#include "testbed/cli/arguments.hpp"

#include <gtest/gtest.h>

using testbed::parseArguments;
using testbed::UsageError;

TEST(Arguments, OptionsRepeatPositionalWordsStayAndNumbersAreChecked) {
  std::vector<std::string> words = {"serve", "--listen", "a", "--port", "80",
                                    "-h",    "--listen", "b", "extra"};
  auto parsed = parseArguments(words);
  EXPECT_EQ(parsed.positional, (std::vector<std::string>{"serve", "extra"}));
  EXPECT_EQ(parsed.values("listen"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.value("listen"), "b");
  EXPECT_TRUE(parsed.help);
  EXPECT_EQ(parsed.number("port", 1, 65535), 80u);
  EXPECT_EQ(parsed.number("missing", 7, 10), 7u);
  EXPECT_THROW(parsed.number("port", 1, 79), UsageError);
  EXPECT_THROW(parsed.required("missing"), UsageError);

  const std::vector<std::string> refused[] = {{"--port"}, {"--unknown", "1"}};
  for (const auto& bad : refused) {
    EXPECT_THROW(parseArguments(bad, {"port"}), UsageError) << bad[0];
  }
}
