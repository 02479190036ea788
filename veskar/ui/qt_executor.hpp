#pragma once

// The application's main executor in the Qt program: work posted to it runs on
// the Qt main thread, carried by a QEvent to a QObject living there. Its
// execution context is the I/O thread's io_context, so timers and sockets made
// from it are served by that thread and complete back onto the main thread.

#include "runtime/async.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <boost/asio/execution.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

namespace veskar::ui {

// Receives the posted work on the thread it lives on (the main thread).
class QtDispatcher final : public QObject {
 public:
  static QEvent::Type eventType();
  bool event(QEvent* event) override;
};

namespace detail {

class WorkEvent : public QEvent {
 public:
  WorkEvent() : QEvent(QtDispatcher::eventType()) {}
  virtual void run() = 0;
};

template <class F>
class FunctionEvent final : public WorkEvent {
 public:
  template <class G>
  explicit FunctionEvent(G&& g) : function_(std::forward<G>(g)) {}
  void run() override { std::move(function_)(); }

 private:
  F function_;
};

}  // namespace detail

class QtExecutor {
 public:
  QtExecutor(boost::asio::io_context& io, QtDispatcher& dispatcher) noexcept
      : io_(&io), dispatcher_(&dispatcher) {}

  boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
    return *io_;
  }
  static constexpr boost::asio::execution::blocking_t query(
      boost::asio::execution::blocking_t) noexcept {
    return boost::asio::execution::blocking.never;
  }
  QtExecutor require(boost::asio::execution::blocking_t::never_t) const noexcept { return *this; }

  // Never runs `f` inline, even on the main thread: posting keeps the order.
  template <class F>
  void execute(F&& f) const {
    QCoreApplication::postEvent(dispatcher_,
                                new detail::FunctionEvent<std::decay_t<F>>(std::forward<F>(f)));
  }

  friend bool operator==(const QtExecutor& a, const QtExecutor& b) noexcept {
    return a.io_ == b.io_ && a.dispatcher_ == b.dispatcher_;
  }
  friend bool operator!=(const QtExecutor& a, const QtExecutor& b) noexcept { return !(a == b); }

 private:
  boost::asio::io_context* io_;
  QtDispatcher* dispatcher_;
};

// The main executor with its I/O thread. Create it on the main thread after the
// QCoreApplication; destroy it before the application, after everything that
// uses its executor.
class QtMainExecutor {
 public:
  QtMainExecutor();
  ~QtMainExecutor();
  QtMainExecutor(const QtMainExecutor&) = delete;
  QtMainExecutor& operator=(const QtMainExecutor&) = delete;

  runtime::Executor executor() { return QtExecutor(io_, dispatcher_); }
  boost::asio::io_context& ioContext() { return io_; }

 private:
  boost::asio::io_context io_;
  QtDispatcher dispatcher_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread ioThread_;
};

}  // namespace veskar::ui
