#pragma once

// The daemon's log: events and errors at syslog priorities. Messages never
// name a destination, a DNS name or a token; callers pass only event texts,
// counts, node IDs and error descriptions (errorCause, not what()).

#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The syslog priorities, so journald reads them as they are.
enum class LogLevel { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

class Log {
 public:
  // Levels above `threshold` are left out: debug carries per-path detail.
  explicit Log(LogLevel threshold = LogLevel::info) : threshold_(threshold) {}
  virtual ~Log() = default;

  bool enabled(LogLevel level) const { return level <= threshold_; }
  void write(LogLevel level, std::string_view message) {
    if (enabled(level)) emit(level, message);
  }
  void error(std::string_view message) { write(LogLevel::error, message); }
  void warning(std::string_view message) { write(LogLevel::warning, message); }
  void notice(std::string_view message) { write(LogLevel::notice, message); }
  void info(std::string_view message) { write(LogLevel::info, message); }
  void debug(std::string_view message) { write(LogLevel::debug, message); }

 protected:
  virtual void emit(LogLevel level, std::string_view message) = 0;

 private:
  LogLevel threshold_;
};

// One line per message on standard error, led by "<N>" so that journald,
// reading a service's standard error, keeps the priority.
class StderrLog final : public Log {
 public:
  using Log::Log;

 protected:
  void emit(LogLevel level, std::string_view message) override;
};

// Native journal entries with the priority and the program's identifier.
class JournalLog final : public Log {
 public:
  JournalLog(std::string identifier, LogLevel threshold);

 protected:
  void emit(LogLevel level, std::string_view message) override;

 private:
  std::string identifier_;
};

// Writes nothing: for callers given no log.
class QuietLog final : public Log {
 protected:
  void emit(LogLevel, std::string_view) override {}
};

// Keeps every message with its level, for tests.
class RecordingLog final : public Log {
 public:
  struct Entry {
    LogLevel level;
    std::string message;
  };
  using Log::Log;
  std::vector<Entry> entries() const;

 protected:
  void emit(LogLevel level, std::string_view message) override;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The journal when one listens on this machine, else standard error.
std::shared_ptr<Log> makeSystemLog(std::string identifier, bool verbose);

// The error's description without its context text, which may hold an
// address: an error code's message, a plain exception's what().
std::string errorCause(std::exception_ptr error);

}  // namespace platform
