// The relay's fault controls and its life as a process.

#include "relay_fixture.hpp"

#include "flowgate/errors/protocol_error.hpp"

#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

using namespace testsupport;

class RelayFaults : public RelayTest {
 protected:
  std::unique_ptr<NodeClient> authenticated(const RelayProcess& relay) {
    auto node = std::make_unique<NodeClient>(relay.port(), lab->paths().nodeCA().string());
    EXPECT_TRUE(node->authenticate(lab->credential(deviceID, tunnelText), deviceID));
    return node;
  }
  Bytes ping(std::uint16_t sequence) {
    return icmpEchoRequest(tunnelAddress, farHost, 1, sequence, "x");
  }
};

TEST_F(RelayFaults, DropClosesEverySession) {
  auto relay = startRelay();
  auto first = authenticated(*relay);
  auto second = authenticated(*relay);
  EXPECT_EQ(relay->command("drop"), "ok 2");
  for (auto* node : {first.get(), second.get()}) {
    ReadEnd end{};
    node->readPackets(1, 5s, &end);
    EXPECT_EQ(end, ReadEnd::closed);
  }
  EXPECT_EQ(relay->counter("active"), 0u);
  // New sessions are still welcome.
  auto third = authenticated(*relay);
  third->write(ping(1));
  EXPECT_EQ(third->readPackets(1).size(), 1u);
}

TEST_F(RelayFaults, RefuseHoldsBackNewAuthenticationsUntilLifted) {
  auto relay = startRelay();
  auto established = authenticated(*relay);
  EXPECT_EQ(relay->command("refuse on"), "ok");
  {
    auto node = client(*relay);
    ASSERT_TRUE(node.handshake());
    node.sendAuthRequest(lab->credential(deviceID, tunnelText));
    EXPECT_TRUE(node.closedWithoutAnswer());
  }
  // Sessions that were already running keep working.
  established->write(ping(1));
  EXPECT_EQ(established->readPackets(1).size(), 1u);
  EXPECT_EQ(relay->command("refuse off"), "ok");
  auto later = authenticated(*relay);
  EXPECT_EQ(relay->counter("refused"), 1u);
  EXPECT_EQ(relay->counter("authentications"), 2u);
}

TEST_F(RelayFaults, StallHoldsPacketsUntilReadingResumes) {
  auto relay = startRelay();
  auto node = authenticated(*relay);
  EXPECT_EQ(relay->command("stall on"), "ok");
  node->write(ping(1));
  EXPECT_TRUE(node->readPackets(1, 300ms).empty());
  EXPECT_EQ(relay->command("stall off"), "ok");
  auto replies = node->readPackets(1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(parse(replies[0]).icmpSequence, 1);
}

TEST_F(RelayFaults, CorruptSendsAHeaderNoDecoderAccepts) {
  auto relay = startRelay();
  auto node = authenticated(*relay);
  node->write(ping(1));
  ASSERT_EQ(node->readPackets(1).size(), 1u);
  EXPECT_EQ(relay->command("corrupt"), "ok 1");
  try {
    node->readPackets(1);
    ADD_FAILURE() << "the corrupt header was accepted";
  } catch (const runtime::SystemError& e) {
    EXPECT_EQ(e.code(), flowgate::ProtocolError::invalidFrame);
  }
}

TEST_F(RelayFaults, UnknownCommandsAreAnsweredWithAnError) {
  auto relay = startRelay();
  EXPECT_EQ(relay->command("reboot"), "error unknown command");
  EXPECT_EQ(relay->command("stall maybe"), "error stall wants on or off");
  EXPECT_EQ(relay->command("drop now please"), "error too many words");
}

TEST_F(RelayFaults, TerminationEndsSessionsAndRemovesTheControlSocket) {
  auto relay = startRelay();
  auto node = authenticated(*relay);
  auto status = relay->terminate();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(relay->controlPath()));
  ReadEnd end{};
  node->readPackets(1, 5s, &end);
  EXPECT_EQ(end, ReadEnd::closed);
}

TEST(RelayCommandLine, MissingOrBadOptionsExitWithUsage) {
  for (std::vector<std::string> arguments :
       {std::vector<std::string>{}, {"--listen", "127.0.0.1"}, {"--exit", "nowhere"}}) {
    std::string command = VESKAR_TESTBED_RELAY;
    for (auto& a : arguments) command += " '" + a + "'";
    command += " >/dev/null 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2) << command;
  }
}

TEST(LabPKITool, WritesKeysPrivatelyAndCertificatesThatChainToTheirAuthorities) {
  char pattern[] = "/tmp/veskar-pki-XXXXXX";
  ASSERT_TRUE(::mkdtemp(pattern));
  std::string directory = pattern;
  std::string command = std::string(VESKAR_TESTBED_PKI) + " --out " + directory +
                        " --node relay-a=192.0.2.10 --node relay-b=192.0.2.11"
                        " --control-name control.lab --control-ip 192.0.2.1 --key-id k7"
                        " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  testbed::LabPaths paths{directory};
  for (const auto& key : {paths.nodeCAKey(), paths.nodeKey("relay-a"), paths.nodeKey("relay-b"),
                          paths.controlCAKey(), paths.controlKey(), paths.credentialSigningKey()}) {
    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0) << key;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << key;
  }
  auto verify = [](const std::filesystem::path& ca, const std::filesystem::path& leaf,
                   const std::string& check) {
    auto line = "openssl verify -CAfile " + ca.string() + " " + check + " " + leaf.string() +
                " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
  };
  EXPECT_TRUE(verify(paths.nodeCA(), paths.nodeCertificate("relay-b"), "-verify_ip 192.0.2.11"));
  EXPECT_FALSE(verify(paths.nodeCA(), paths.nodeCertificate("relay-b"), "-verify_ip 192.0.2.10"));
  EXPECT_TRUE(
      verify(paths.controlCA(), paths.controlCertificate(), "-verify_hostname control.lab"));
  EXPECT_FALSE(verify(paths.nodeCA(), paths.controlCertificate(), ""));

  std::ifstream keysFile(paths.credentialKeys());
  std::string keysText((std::istreambuf_iterator<char>(keysFile)), {});
  auto keys = testbed::decodeCredentialKeys(keysText);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].keyId, "k7");
  std::filesystem::remove_all(directory);
}
