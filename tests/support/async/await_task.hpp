#pragma once

// Runs coroutines to completion on a test's io_context: the value, or the
// exception the coroutine ended with.

#include "runtime/async.hpp"
#include "runtime/spawn.hpp"

#include <boost/asio/io_context.hpp>

#include <exception>
#include <optional>
#include <vector>

namespace testsupport {

// A coroutine's outcome: its value or its exception.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;

  // The value, moved out; rethrows the coroutine's exception.
  T get() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
  // The exception as E, or nothing when it ended otherwise.
  template <class E>
  std::optional<E> errorAs() const {
    if (!error) return std::nullopt;
    try {
      std::rethrow_exception(error);
    } catch (const E& e) {
      return e;
    } catch (...) {
    }
    return std::nullopt;
  }
};

// Starts every task at once and runs the context until all have ended.
template <class T>
std::vector<Outcome<T>> settleAll(boost::asio::io_context& io,
                                  std::vector<runtime::Task<T>> tasks) {
  std::vector<Outcome<T>> outcomes(tasks.size());
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    runtime::spawn(io.get_executor(),
                   [](runtime::Task<T> task, Outcome<T>* outcome) -> runtime::Task<void> {
                     try {
                       outcome->value.emplace(co_await std::move(task));
                     } catch (...) {
                       outcome->error = std::current_exception();
                     }
                   }(std::move(tasks[i]), &outcomes[i]));
  }
  io.restart();
  io.run();
  return outcomes;
}

template <class T>
Outcome<T> settle(boost::asio::io_context& io, runtime::Task<T> task) {
  std::vector<runtime::Task<T>> tasks;
  tasks.push_back(std::move(task));
  return std::move(settleAll(io, std::move(tasks)).front());
}

}  // namespace testsupport
