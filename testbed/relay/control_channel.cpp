#include "testbed/relay/control_channel.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/read_until.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace testbed {

using boost::asio::local::stream_protocol;

namespace {

constexpr std::size_t maxLine = 1024;

std::optional<bool> onOff(const std::string& word) {
  if (word == "on") return true;
  if (word == "off") return false;
  return std::nullopt;
}

}  // namespace

ControlChannel::ControlChannel(runtime::Executor executor, std::string path, Relay& relay)
    : executor_(executor), path_(std::move(path)), relay_(relay), acceptor_(executor) {
  // Only a socket left by an earlier run is replaced; any other file makes bind fail.
  struct stat info {};
  if (::lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) ::unlink(path_.c_str());
  stream_protocol::endpoint endpoint(path_);
  acceptor_.open(endpoint.protocol());
  acceptor_.bind(endpoint);
  acceptor_.listen();
}

ControlChannel::~ControlChannel() { stop(); }

void ControlChannel::start() { runtime::spawn(executor_, acceptLoop()); }

void ControlChannel::stop() {
  if (!acceptor_.is_open()) return;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  ::unlink(path_.c_str());
}

std::string ControlChannel::execute(const std::string& line) {
  std::istringstream words(line);
  std::string command, argument, extra;
  words >> command >> argument >> extra;
  if (!extra.empty()) return "error too many words";
  if (command == "stats" && argument.empty()) return formatCounters(relay_.counters());
  if (command == "drop" && argument.empty()) {
    return "ok " + std::to_string(relay_.dropSessions());
  }
  if (command == "corrupt" && argument.empty()) {
    return "ok " + std::to_string(relay_.corruptSessions());
  }
  if (command == "refuse" || command == "stall" || command == "mute") {
    auto on = onOff(argument);
    if (!on) return "error " + command + " wants on or off";
    if (command == "refuse") {
      relay_.refuseAuthentications(*on);
    } else if (command == "mute") {
      relay_.muteAuthentications(*on);
    } else {
      relay_.stallReading(*on);
    }
    return "ok";
  }
  return "error unknown command";
}

runtime::Task<void> ControlChannel::acceptLoop() {
  while (acceptor_.is_open()) {
    auto [error, socket] = co_await acceptor_.async_accept(runtime::asTuple);
    if (error) co_return;
    runtime::spawn(executor_, serve(std::move(socket)));
  }
}

runtime::Task<void> ControlChannel::serve(stream_protocol::socket socket) {
  std::string input;
  for (;;) {
    auto buffer = asio::dynamic_buffer(input, maxLine);
    auto [error, n] = co_await asio::async_read_until(socket, buffer, '\n', runtime::asTuple);
    if (error) co_return;
    auto line = input.substr(0, n - 1);
    input.erase(0, n);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto reply = execute(line) + "\n";
    auto out = asio::buffer(reply);
    auto [writeError, written] = co_await asio::async_write(socket, out, runtime::asTuple);
    if (writeError) co_return;
  }
}

}  // namespace testbed
