#pragma once

// One io_context that a test runs on its own thread until what it waits for
// has happened, with a helper that awaits a task on it.

#include "runtime/async.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace testsupport {

class IoRunner {
 public:
  // Runs the io_context until `done()` or `limit` passes; whether done.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (io.stopped()) io.restart();  // it stops whenever it runs out of work
      io.run_one_for(std::chrono::milliseconds(5));
    }
    return done();
  }
  void runFor(std::chrono::milliseconds time) {
    runUntil([] { return false; }, time);
  }

  // Awaits `task` on the io_context; rethrows its exception.
  template <class T>
  T await(runtime::Task<T> task) {
    if constexpr (std::is_void_v<T>) {
      auto unit = [](runtime::Task<void> inner) -> runtime::Task<bool> {
        co_await std::move(inner);
        co_return true;
      };
      await(unit(std::move(task)));
    } else {
      std::optional<T> value;
      std::exception_ptr error;
      boost::asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T v) {
        error = e;
        if (!e) value.emplace(std::move(v));
      });
      if (!runUntil([&] { return value || error; })) throw std::runtime_error("no completion");
      if (error) std::rethrow_exception(error);
      return std::move(*value);
    }
  }

  boost::asio::io_context io;
};

}  // namespace testsupport
