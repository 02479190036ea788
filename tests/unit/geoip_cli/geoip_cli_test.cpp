#include "flowgate/routing/geoip_file_writer.hpp"
#include "runtime/ipv4.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using flowgate::GeoIPTable;
using flowgate::geoip::DirectRecord;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class GeoIPTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "geoip_cli.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    auto path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // A table with two direct blocks (one inside the other) and two routes.
  fs::path sampleTable() {
    auto ip = [](const char* text) { return *runtime::ipv4::ipv4Value(text); };
    std::vector<DirectRecord> direct{{ip("10.0.0.0"), 8}, {ip("10.1.0.0"), 16}};
    std::vector<GeoIPTable::Route> routes{{ip("9.0.0.0"), ip("11.255.255.255"), "XX"},
                                          {ip("198.51.100.0"), ip("198.51.100.255"), "de"}};
    return writeFile("geoip.bin", flowgate::geoip::encode(20240611, direct, routes));
  }

  Outcome run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), FLOWGATE_BIN);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    auto out = dir_ / "stdout";
    auto err = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Outcome result;
    if (posix_spawn(&pid, FLOWGATE_BIN, &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = readText(out);
    result.err = readText(err);
    return result;
  }

  fs::path dir_;
};

TEST_F(GeoIPTool, InspectPrintsVersionAndCounts) {
  auto result = run({"geoip", "inspect", sampleTable()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "version: 20240611\n"
            "direct networks: 2\n"
            "routes: 2\n"
            "policy ranges: 4\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(GeoIPTool, LookupPrintsOneLinePerAddressInOrder) {
  auto result = run({"geoip", "lookup", sampleTable(), "9.0.0.0", "10.1.2.3", "11.255.255.255",
                     "12.0.0.0", "198.51.100.7", "0..0.0.0"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "9.0.0.0 region XX\n"
            "10.1.2.3 direct\n"
            "11.255.255.255 region XX\n"
            "12.0.0.0 none\n"
            "198.51.100.7 region de\n"
            "0..0.0.0 none\n");
}

TEST_F(GeoIPTool, FileThatDoesNotDecodeIsInvalidFormat) {
  auto bytes = flowgate::geoip::encode(1, {}, {});
  bytes.pop_back();
  auto truncated = writeFile("truncated.bin", bytes);
  for (auto arguments : {std::vector<std::string>{"geoip", "inspect", truncated},
                         {"geoip", "lookup", truncated, "192.0.2.1"}}) {
    auto result = run(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "invalidFormat\n");
  }
}

TEST_F(GeoIPTool, UnreadableFileReportsItsError) {
  auto missing = (dir_ / "missing.bin").string();
  auto result = run({"geoip", "inspect", missing});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(missing + ": No such file or directory"), std::string::npos)
      << result.err;
  EXPECT_EQ(run({"geoip", "lookup", dir_.string(), "192.0.2.1"}).status, 1);
}

TEST_F(GeoIPTool, BadAddressesAndWrongArgumentsAreUsageErrors) {
  auto table = sampleTable().string();
  for (auto arguments : {std::vector<std::string>{},
                         {"route"},
                         {"geoip", "list", table},
                         {"geoip", "inspect", table, table},
                         {"geoip", "lookup", table},
                         {"geoip", "lookup", table, "192.0.2.1", "192.0.2.256"},
                         {"geoip", "lookup", (dir_ / "missing.bin").string(), "192.0.2"}}) {
    auto result = run(arguments);
    EXPECT_EQ(result.status, 2) << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("usage:"), std::string::npos);
  }
}

}  // namespace
