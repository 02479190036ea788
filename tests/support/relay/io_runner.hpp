#pragma once

// One io_context that a test fixture runs on its own thread until what it
// waits for has happened, with a helper that awaits a task on it.

#include "tests/support/async/run_task.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>

namespace testsupport {

class IoRunner {
 public:
  // Runs the io_context until `done()` or `limit` passes; whether done.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return testsupport::runUntil(io, done, limit);
  }
  void runFor(std::chrono::milliseconds time) { testsupport::runFor(io, time); }

  // Awaits `task` on the io_context; rethrows its exception.
  template <class T>
  T await(runtime::Task<T> task) {
    return testsupport::runTask(io, std::move(task));
  }

  boost::asio::io_context io;
};

}  // namespace testsupport
