#include "platform/user_defaults.hpp"

#include "runtime/error.hpp"
#include "tests/support/files/file_contents.hpp"
#include "tests/support/files/temporary_directory.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <boost/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using platform::UserDefaults;

using testsupport::modeOf;
using testsupport::readAll;
using testsupport::writeAll;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDirectory temporary{"veskar-defaults"};
  fs::path root = temporary.path();

  std::set<std::string> filesIn(const fs::path& directory) const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
      names.insert(entry.path().filename());
    }
    return names;
  }
  static int errnoOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const runtime::SystemError& e) {
      return e.code().value();
    }
    return 0;
  }
};

std::string allBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes + bytes.substr(0, 100);
}

TEST_F(UserDefaultsTest, ValuesOfEveryKindSurviveANewInstance) {
  {
    UserDefaults defaults(root, "app");
    defaults.setString("device-key", "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    defaults.setBool("highSpeedEnabled", false);
    defaults.setValue("login-session", boost::json::parse(R"({"phone":"+1","publicID":"u1"})"));
    defaults.setData("trust-bundle", allBytes());
    defaults.setData("empty", "");
  }
  UserDefaults reopened(root, "app");
  EXPECT_EQ(reopened.string("device-key"), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  EXPECT_EQ(reopened.boolean("highSpeedEnabled"), false);
  EXPECT_EQ(reopened.value("login-session"),
            boost::json::parse(R"({"phone":"+1","publicID":"u1"})"));
  EXPECT_EQ(reopened.data("trust-bundle"), allBytes());
  EXPECT_EQ(reopened.data("empty"), "");
  EXPECT_FALSE(reopened.string("missing"));
}

TEST_F(UserDefaultsTest, EachGetterAnswersOnlyForItsOwnKind) {
  UserDefaults defaults(root, "app");
  defaults.setString("highSpeedEnabled", "true");
  defaults.setData("tunnel-bootstrap", "{\"a\":1}");

  // A string is no boolean, even one that reads like one.
  EXPECT_FALSE(defaults.boolean("highSpeedEnabled"));
  EXPECT_FALSE(defaults.data("highSpeedEnabled"));
  EXPECT_FALSE(defaults.string("tunnel-bootstrap"));
  EXPECT_FALSE(defaults.value("tunnel-bootstrap"));

  defaults.setBool("highSpeedEnabled", true);
  EXPECT_EQ(defaults.boolean("highSpeedEnabled"), true);
  EXPECT_FALSE(defaults.string("highSpeedEnabled"));
}

TEST_F(UserDefaultsTest, RemoveTakesOnlyThatKeyAndReadsNeverWrite) {
  fs::path directory = root / "not" / "yet";
  UserDefaults defaults(directory, "app");
  EXPECT_FALSE(defaults.string("login-session"));
  defaults.remove("login-session");
  EXPECT_FALSE(fs::exists(directory));

  defaults.setString("login-session", "a");
  defaults.setString("tunnel-bootstrap", "b");
  defaults.remove("login-session");
  EXPECT_FALSE(defaults.string("login-session"));
  EXPECT_EQ(defaults.string("tunnel-bootstrap"), "b");
}

TEST_F(UserDefaultsTest, CreatesPrivateDirectoriesAndFilesWhateverTheUmask) {
  mode_t saved = umask(0);
  fs::path directory = root / "state" / "veskar";
  UserDefaults defaults(directory, "flowgate");
  defaults.setString("k", "v");
  EXPECT_EQ(modeOf(root / "state"), 0700u);
  EXPECT_EQ(modeOf(directory), 0700u);
  EXPECT_EQ(modeOf(defaults.path()), 0600u);

  umask(077);
  UserDefaults shared(root / "shared", "app", {.fileMode = 0640, .directoryMode = 0750});
  shared.setString("k", "v");
  EXPECT_EQ(modeOf(root / "shared"), 0750u);
  EXPECT_EQ(modeOf(shared.path()), 0640u);
  umask(saved);

  // A file left readable by someone else becomes private again at the next write.
  chmod(defaults.path().c_str(), 0644);
  defaults.setString("k", "w");
  EXPECT_EQ(modeOf(defaults.path()), 0600u);
}

TEST_F(UserDefaultsTest, CorruptFileReadsEmptyUntilTheNextWriteReplacesIt) {
  UserDefaults defaults(root, "app");
  writeAll(defaults.path(), "{\"device-key\": {\"value\": \"trunc");
  EXPECT_FALSE(defaults.string("device-key"));
  defaults.remove("device-key");
  EXPECT_EQ(readAll(defaults.path()), "{\"device-key\": {\"value\": \"trunc");

  defaults.setString("device-key", "K");
  EXPECT_EQ(defaults.string("device-key"), "K");
  EXPECT_EQ(boost::json::parse(readAll(defaults.path())).as_object().size(), 1u);

  writeAll(defaults.path(), "[1, 2]");
  EXPECT_FALSE(defaults.string("device-key"));
}

TEST_F(UserDefaultsTest, MalformedEntriesReadAsAbsentWithoutHidingTheOthers) {
  UserDefaults defaults(root, "app");
  writeAll(defaults.path(), R"({
    "bare": "not tagged",
    "both": {"value": 1, "data": "AA=="},
    "bad-data": {"data": "%%%%"},
    "good": {"value": "ok"}
  })");
  EXPECT_FALSE(defaults.string("bare"));
  EXPECT_FALSE(defaults.value("both"));
  EXPECT_FALSE(defaults.data("both"));
  EXPECT_FALSE(defaults.data("bad-data"));
  EXPECT_EQ(defaults.string("good"), "ok");
}

TEST_F(UserDefaultsTest, SymlinkAtTheFilePathIsNeitherReadNorReplaced) {
  UserDefaults defaults(root, "app");
  fs::path target = root / "elsewhere.json";
  writeAll(target, R"({"device-key": {"value": "planted"}})");
  fs::create_symlink(target, defaults.path());

  EXPECT_FALSE(defaults.string("device-key"));
  EXPECT_EQ(errnoOf([&] { defaults.setString("device-key", "mine"); }), ELOOP);
  EXPECT_EQ(errnoOf([&] { defaults.remove("device-key"); }), ELOOP);
  EXPECT_TRUE(fs::is_symlink(defaults.path()));
  EXPECT_EQ(readAll(target), R"({"device-key": {"value": "planted"}})");
}

TEST_F(UserDefaultsTest, FifoAtTheFilePathReadsEmptyWithoutBlocking) {
  UserDefaults defaults(root, "app");
  ASSERT_EQ(mkfifo(defaults.path().c_str(), 0600), 0);
  EXPECT_FALSE(defaults.string("device-key"));
  EXPECT_NE(errnoOf([&] { defaults.setString("device-key", "K"); }), 0);
}

// A write cut short (here by the file size limit) must leave the old file whole
// and no temporary file behind.
TEST_F(UserDefaultsTest, FailedWriteLeavesTheOldFileWhole) {
  UserDefaults defaults(root, "app");
  defaults.setString("login-session", "old");
  std::string before = readAll(defaults.path());

  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  int error = errnoOf([&] { defaults.setData("trust-bundle", std::string(100000, 'x')); });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(readAll(defaults.path()), before);
  EXPECT_EQ(defaults.string("login-session"), "old");
  EXPECT_EQ(filesIn(root), (std::set<std::string>{"app.json", "app.lock"}));
}

TEST_F(UserDefaultsTest, ConcurrentWritersKeepEachOthersKeys) {
  constexpr int writers = 4;
  constexpr int keysEach = 10;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([this, w] {
      UserDefaults defaults(root, "app");
      for (int k = 0; k < keysEach; ++k) {
        defaults.setString("key-" + std::to_string(w) + "-" + std::to_string(k), "v");
      }
    });
  }
  for (auto& thread : threads) thread.join();

  UserDefaults defaults(root, "app");
  EXPECT_EQ(boost::json::parse(readAll(defaults.path())).as_object().size(),
            std::size_t{writers * keysEach});
  EXPECT_EQ(filesIn(root), (std::set<std::string>{"app.json", "app.lock"}));
}

TEST_F(UserDefaultsTest, DomainMustBeAPlainFileName) {
  EXPECT_THROW(UserDefaults(root, ""), std::invalid_argument);
  EXPECT_THROW(UserDefaults(root, ".."), std::invalid_argument);
  EXPECT_THROW(UserDefaults(root, "../app"), std::invalid_argument);
  EXPECT_EQ(UserDefaults(root, "app").path(), root / "app.json");
}

}  // namespace
