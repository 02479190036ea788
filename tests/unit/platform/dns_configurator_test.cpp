#include "platform/resolv_conf_dns.hpp"

#include "platform/resolvconf_dns.hpp"
#include "tests/support/files/file_contents.hpp"

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using platform::DNSSettings;
using platform::ResolvConfDNS;

using testsupport::readAll;

namespace {

const DNSSettings kSettings{{"198.18.0.53", "2001:db8::53", "dns.example"}, {""}, true};
const std::string kOurs = std::string(platform::kResolvConfMarker) +
                          "\nnameserver 198.18.0.53\nnameserver 2001:db8::53\n";
// Not ending in a newline, with odd spacing: restored byte for byte.
const std::string kOriginal = "# the machine's own\nnameserver 192.0.2.53\n\toptions ndots:2";

class ResolvConfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veskar-resolv-XXXXXX";
    root = ::mkdtemp(pattern);
    paths = {root / "etc" / "resolv.conf", root / "state" / "resolv.conf.original"};
    fs::create_directories(root / "etc");
    fs::create_directories(root / "run");
    std::ofstream(root / "run" / "stub.conf", std::ios::binary) << kOriginal;
  }
  void TearDown() override { fs::remove_all(root); }

  // The original as a regular file, or as a symlink to a service's file.
  void placeOriginal(bool asSymlink) {
    if (asSymlink) {
      fs::create_symlink("../run/stub.conf", paths.file);
    } else {
      std::ofstream(paths.file, std::ios::binary) << kOriginal;
    }
  }
  void expectOriginal(bool asSymlink) {
    EXPECT_EQ(fs::is_symlink(paths.file), asSymlink);
    if (asSymlink) {
      EXPECT_EQ(fs::read_symlink(paths.file), "../run/stub.conf");
    }
    EXPECT_EQ(readAll(paths.file), kOriginal);
    EXPECT_FALSE(fs::exists(fs::symlink_status(paths.backup)));
  }

  fs::path root;
  platform::ResolvConfPaths paths;
};

TEST_F(ResolvConfTest, RestoresTheOriginalAtRevertAndAfterACrash) {
  for (bool asSymlink : {false, true}) {
    SCOPED_TRACE(asSymlink ? "symlink" : "file");
    fs::remove(paths.file);
    placeOriginal(asSymlink);
    {
      ResolvConfDNS dns(paths);
      dns.apply("vkpt0", 7, kSettings);
      EXPECT_EQ(readAll(paths.file), kOurs);
      EXPECT_EQ(readAll(root / "run" / "stub.conf"), kOriginal) << "the link's target is untouched";
      // Applied again (a path change): still one saved original, the right one.
      dns.apply("vkpt0", 7, kSettings);
      dns.revert();
      expectOriginal(asSymlink);
      dns.revert();
      expectOriginal(asSymlink);
    }
    {
      ResolvConfDNS crashed(paths);
      crashed.apply("vkpt0", 7, kSettings);
    }
    ResolvConfDNS(paths).removeLeftovers();
    expectOriginal(asSymlink);
  }
}

TEST_F(ResolvConfTest, NeverRestoresOverAFileSomeoneElseWrote) {
  placeOriginal(false);
  ResolvConfDNS dns(paths);
  dns.apply("vkpt0", 7, kSettings);
  std::ofstream(paths.file, std::ios::binary | std::ios::trunc) << "nameserver 192.0.2.99\n";
  // Applied again after the rewrite: theirs becomes the original.
  dns.apply("vkpt0", 7, kSettings);
  EXPECT_EQ(readAll(paths.file), kOurs);
  dns.revert();
  EXPECT_EQ(readAll(paths.file), "nameserver 192.0.2.99\n");

  dns.apply("vkpt0", 7, kSettings);
  std::ofstream(paths.file, std::ios::binary | std::ios::trunc) << "nameserver 192.0.2.98\n";
  dns.revert();
  EXPECT_EQ(readAll(paths.file), "nameserver 192.0.2.98\n");
  EXPECT_FALSE(fs::exists(paths.backup));
}

TEST(ResolvconfDNS, HandsTheRecordToTheProgramAndTakesItBack) {
  char pattern[] = "/tmp/veskar-resolvconf-XXXXXX";
  fs::path root = ::mkdtemp(pattern);
  auto program = root / "resolvconf";
  auto log = root / "log";
  std::ofstream(program) << "#!/bin/sh\necho \"$@\" >> " << log.string()
                         << "\nif [ \"$1\" = -a ]; then cat >> " << log.string() << "; fi\n";
  fs::permissions(program, fs::perms::owner_all);
  auto state = root / "state" / "record";
  platform::ResolvconfDNS dns(program, state);
  dns.apply("vkpt0", 7, kSettings);
  dns.revert();
  dns.revert();
  EXPECT_EQ(readAll(log), "-a vkpt0\nnameserver 198.18.0.53\nnameserver 2001:db8::53\n-d vkpt0\n");
  EXPECT_FALSE(fs::exists(state));

  // A daemon that crashed with its record in place: the next start takes it out.
  platform::ResolvconfDNS(program, state).apply("vkpt1", 8, kSettings);
  fs::remove(log);
  platform::ResolvconfDNS(program, state).removeLeftovers();
  platform::ResolvconfDNS(program, state).removeLeftovers();
  EXPECT_EQ(readAll(log), "-d vkpt1\n");

  std::ofstream(program, std::ios::trunc) << "#!/bin/sh\nexit 3\n";
  EXPECT_THROW(dns.apply("vkpt0", 7, kSettings), boost::system::system_error);
  fs::remove_all(root);
}

}  // namespace
