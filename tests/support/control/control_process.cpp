#include "tests/support/control/control_process.hpp"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include <chrono>
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

  std::string command = std::string("exec ") + TESTBED_CONTROL_BIN + " serve --lab " + dir +
                        "/lab.json " + options.extraServeArguments;
  child_ = std::make_unique<testsupport::ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", command});
  std::string line;
  try {
    line = child_->waitForLine([](const std::string&) { return true; }, std::chrono::seconds(30));
  } catch (const std::exception& error) {
    throw std::runtime_error(std::string("control server did not start: ") + error.what());
  }
  unsigned port = 0;
  unsigned adminPort = 0;
  if (std::sscanf(line.c_str(), "ready port=%u admin_port=%u", &port, &adminPort) != 2) {
    throw std::runtime_error("control server did not start: " + line);
  }
  port_ = static_cast<unsigned short>(port);
  adminPort_ = static_cast<unsigned short>(adminPort);
}

bool ControlProcess::alive() { return child_ && child_->alive(); }

ControlProcess::~ControlProcess() {
  child_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace testbed::test
