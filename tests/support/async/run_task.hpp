#pragma once

// Tests drive one io_context on their own thread: run it until a condition
// holds, or until a task has finished, within a limit.

#include "runtime/async.hpp"
#include "runtime/error.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace testsupport {

// Runs `io` until `done()` or `limit` passes; whether `done()` holds. An
// exception escaping a handler (a spawned task's default) leaves through here.
inline bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (io.stopped()) io.restart();  // it stops whenever it runs out of work
    io.run_one_for(std::chrono::milliseconds(5));
  }
  return done();
}

inline void runFor(boost::asio::io_context& io, std::chrono::milliseconds time) {
  runUntil(
      io, [] { return false; }, time);
}

// Runs `task` on `io` to its end and returns its value or rethrows its
// exception; throws std::runtime_error when it does not end within `limit`.
template <class T>
T runTask(boost::asio::io_context& io, runtime::Task<T> task,
          std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  std::exception_ptr error;
  bool finished = false;
  [[maybe_unused]] std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
  auto wrapper = [&]() -> runtime::Task<void> {
    try {
      if constexpr (std::is_void_v<T>) {
        co_await std::move(task);
      } else {
        value.emplace(co_await std::move(task));
      }
    } catch (...) {
      error = std::current_exception();
    }
    finished = true;
  };
  runtime::spawn(io.get_executor(), wrapper());
  if (!runUntil(
          io, [&] { return finished; }, limit)) {
    throw std::runtime_error("task did not finish in time");
  }
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<T>) return std::move(*value);
}

// The error code `task` ended with; success when it returned.
template <class T>
runtime::ErrorCode errorOf(boost::asio::io_context& io, runtime::Task<T> task,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  try {
    runTask(io, std::move(task), limit);
  } catch (const runtime::SystemError& e) {
    return e.code();
  }
  return {};
}

}  // namespace testsupport
