#include "platform/log.hpp"

#include "runtime/error.hpp"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <filesystem>

namespace platform {

void StderrLog::emit(LogLevel level, std::string_view message) {
  std::string line = "<" + std::to_string(static_cast<int>(level)) + ">";
  line.append(message);
  line += '\n';
  // One write per line: lines of several threads never interleave.
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

JournalLog::JournalLog(std::string identifier, LogLevel threshold)
    : Log(threshold), identifier_(std::move(identifier)) {}

void JournalLog::emit(LogLevel level, std::string_view message) {
  ::sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d",
                    static_cast<int>(level), "SYSLOG_IDENTIFIER=%s", identifier_.c_str(), nullptr);
}

std::vector<RecordingLog::Entry> RecordingLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void RecordingLog::emit(LogLevel level, std::string_view message) {
  std::lock_guard lock(mutex_);
  entries_.push_back({level, std::string(message)});
}

std::shared_ptr<Log> makeSystemLog(std::string identifier, bool verbose) {
  auto threshold = verbose ? LogLevel::debug : LogLevel::info;
  std::error_code ignored;
  if (std::filesystem::exists("/run/systemd/journal/socket", ignored)) {
    return std::make_shared<JournalLog>(std::move(identifier), threshold);
  }
  return std::make_shared<StderrLog>(threshold);
}

std::string errorCause(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const runtime::SystemError& e) {
    return e.code().message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

}  // namespace platform
