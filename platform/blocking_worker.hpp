#pragma once

// One thread for the platform's blocking calls (netlink, D-Bus, programs), so
// none of them holds up an I/O thread. Its users share it and take turns; it
// stops once the last of them lets go, after the work already handed to it.

#include "runtime/async.hpp"

#include <boost/asio/thread_pool.hpp>

#include <functional>
#include <type_traits>

namespace platform {

class BlockingWorker {
 public:
  BlockingWorker() = default;
  ~BlockingWorker() { pool_.join(); }
  BlockingWorker(const BlockingWorker&) = delete;
  BlockingWorker& operator=(const BlockingWorker&) = delete;

  runtime::Executor executor() { return pool_.get_executor(); }

  // Runs `work` on the thread; the caller resumes on its own executor with
  // the value or the exception.
  template <class T>
  runtime::Task<T> run(std::function<T()> work) {
    auto call = [](std::function<T()> inner) -> runtime::Task<T> {
      if constexpr (std::is_void_v<T>) {
        inner();
        co_return;
      } else {
        co_return inner();
      }
    };
    // Named, not temporaries inside co_await (GCC 12 destroys those twice).
    runtime::Executor worker = executor();
    auto task = call(std::move(work));
    return runtime::runOn<T>(worker, std::move(task));
  }

 private:
  boost::asio::thread_pool pool_{1};
};

}  // namespace platform
