#include "veskar/ui/toast.hpp"

#include <utility>

namespace veskar::ui {

Toast::Toast(runtime::Executor executor, std::shared_ptr<runtime::Clock> clock,
             std::function<void()> publish)
    : executor_(std::move(executor)), clock_(std::move(clock)), publish_(std::move(publish)) {}

Toast::~Toast() { hideTask_.cancel(); }

void Toast::show(const QString& message, double seconds) {
  hideTask_.cancel();
  message_ = message;
  publish_();
  hideTask_ = runtime::TaskHandle::start(
      executor_,
      [this, clock = clock_, seconds](runtime::CancelToken token) -> runtime::Task<void> {
        co_await clock->sleep(seconds, token);
        // A cancel (a newer toast, or this one destroyed) may land after the
        // sleep ended but before this resumed.
        if (token.isCancelled()) co_return;
        message_.clear();
        publish_();
      });
}

}  // namespace veskar::ui
