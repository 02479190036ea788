#pragma once

// A transient message: showing one replaces the previous and hides it after its
// own full duration. Lives on the main executor.

#include "runtime/async.hpp"
#include "runtime/clock.hpp"
#include "runtime/shared_task.hpp"

#include <QString>

#include <functional>
#include <memory>

namespace veskar::ui {

class Toast {
 public:
  // `publish` is told every change of the message (empty: hidden).
  Toast(runtime::Executor executor, std::shared_ptr<runtime::Clock> clock,
        std::function<void()> publish);
  ~Toast();
  Toast(const Toast&) = delete;
  Toast& operator=(const Toast&) = delete;

  const QString& message() const { return message_; }
  void show(const QString& message, double seconds);

 private:
  runtime::Executor executor_;
  std::shared_ptr<runtime::Clock> clock_;
  std::function<void()> publish_;
  QString message_;
  runtime::TaskHandle hideTask_;
};

}  // namespace veskar::ui
