#include "tests/support/control/control_process.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testbed::test {

namespace bj = boost::json;

namespace {

// PBKDF2-SHA256 of labPassword with 1000 iterations (cheap for tests).
std::string passwordHash(const std::filesystem::path& directory) {
  auto out = directory / "hash.txt";
  runCommand(std::string(TESTBED_CONTROL_BIN) + " hash-password --iterations 1000 " + labPassword +
             " > " + out.string());
  std::ifstream in(out);
  std::string hash;
  std::getline(in, hash);
  return hash;
}

bj::object labFile(const std::string& hash, const bj::object& lifetimes) {
  bj::object merged{{"access_token_seconds", 600},
                    {"refresh_token_seconds", 3600},
                    {"credential_seconds", 1800},
                    {"lease_seconds", 1800}};
  for (const auto& [key, value] : lifetimes) merged[key] = value;
  auto member = [](std::uint64_t id, int priority, int weight) {
    return bj::object{{"node_id", id}, {"priority", priority}, {"weight", weight}};
  };
  return bj::object{
      {"pki",
       {{"server_certificate", "pki/control.pem"},
        {"server_key", "pki/control.key"},
        {"node_ca_certificates", bj::array{"pki/node-ca.pem"}},
        {"credential_signing_key", "pki/credential-signing.key"},
        {"credential_keys", "pki/credential-keys.json"}}},
      {"lifetimes", merged},
      {"accounts", bj::array{bj::object{{"phone", labPhone},
                                        {"password_hash", hash},
                                        {"public_id", labPublicId},
                                        {"remaining_bytes", 5368709120},
                                        {"recharge_baseline_bytes", 10737418240}}}},
      {"trust_bundle_version", 3},
      {"reserved_addresses", bj::array{"198.19.0.1"}},
      {"geoip", {{"table", "geoip.bin"}, {"manifest", "manifest.json"}}},
      {"config",
       {{"version", 7},
        {"mtu", 1400},
        {"vpn_cidr", "198.19.0.0/16"},
        {"nodes",
         bj::array{
             bj::object{{"id", 1},
                        {"name", "relay1"},
                        {"address", "192.0.2.131:8443"},
                        {"tls_server_name", "relay1"},
                        {"priority", 1}},
             bj::object{
                 {"id", 2}, {"name", "relay2"}, {"address", "192.0.2.132:8443"}, {"priority", 2}}}},
        {"routes", bj::array{bj::object{{"cidr", "203.0.113.0/25"}, {"nodes", bj::array{1}}}}},
        {"paths", bj::array{bj::object{{"nodes", bj::array{1, 2}}, {"priority", 1}}}},
        {"default_nodes", bj::array{1, 2}},
        {"node_groups",
         {{"DE", bj::array{member(1, 1, 10)}}, {"US_EAST", bj::array{member(2, 1, 5)}}}},
        {"dns",
         {{"version", 1},
          {"servers", bj::array{"198.19.0.53"}},
          {"local_region", "DE"},
          {"local_resolvers", bj::array{"198.51.100.53"}},
          {"default_region", "DE"},
          {"query_timeout_ms", 2000},
          {"retries", 1},
          {"positive_ttl_cap_seconds", 300},
          {"negative_ttl_seconds", 30},
          {"failure_ttl_seconds", 5}}}}}};
}

}  // namespace

void runCommand(const std::string& command) {
  int status = std::system(command.c_str());
  if (status != 0) throw std::runtime_error("command failed: " + command);
}

ControlProcess::ControlProcess(const LabOptions& options) {
  char pattern[] = "/tmp/veskar-control-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  auto dir = directory_.string();
  runCommand(std::string(TESTBED_PKI_BIN) + " --out " + dir +
             "/pki --node relay1=192.0.2.131 --node relay2=192.0.2.132"
             " --control-name localhost --control-ip 127.0.0.1 > /dev/null");
  {
    std::ofstream source(directory_ / "geoip.txt");
    source << "version 4\ndirect 192.0.2.0/25\nroute 203.0.113.0/25 DE\n"
              "route 203.0.113.128-203.0.113.255 US\n";
  }
  runCommand(std::string(TESTBED_GEOIP_BIN) + " --source " + dir + "/geoip.txt --out " + dir +
             "/geoip.bin --manifest " + dir + "/manifest.json > /dev/null");
  {
    std::ofstream lab(directory_ / "lab.json");
    lab << bj::serialize(labFile(passwordHash(directory_), options.lifetimes));
  }

  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // The server must not outlive the test, whatever happens to the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::string command = std::string("exec ") + TESTBED_CONTROL_BIN + " serve --lab " + dir +
                          "/lab.json " + options.extraServeArguments;
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  FILE* out = fdopen(pipeFds[0], "r");
  char line[256] = {};
  bool ready = fgets(line, sizeof line, out) != nullptr;
  fclose(out);
  unsigned port = 0;
  unsigned adminPort = 0;
  if (!ready || std::sscanf(line, "ready port=%u admin_port=%u", &port, &adminPort) != 2) {
    throw std::runtime_error("control server did not start: " + std::string(line));
  }
  port_ = static_cast<unsigned short>(port);
  adminPort_ = static_cast<unsigned short>(adminPort);
}

bool ControlProcess::alive() {
  if (pid_ <= 0) return false;
  int status = 0;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

ControlProcess::~ControlProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace testbed::test
