#pragma once

// A stand-in for HttpClient in tests of the services: it records every request
// and answers with whatever the test's handler returns or throws. The handler is
// a coroutine, so a test can hold a request open to let others overlap it.

#include "platform/http_client.hpp"

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

class FakeHttpClient final : public HttpClient {
 public:
  using Handler = std::function<runtime::Task<HttpResponse>(HttpRequest)>;

  explicit FakeHttpClient(Handler handler) : handler_(std::move(handler)) {}

  // A handler that answers at once with `reply(request)`.
  static Handler replying(std::function<HttpResponse(const HttpRequest&)> reply) {
    return [reply = std::move(reply)](HttpRequest request) -> runtime::Task<HttpResponse> {
      co_return reply(request);
    };
  }

  runtime::Task<HttpResponse> send(HttpRequest request) override {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    co_return co_await handler_(std::move(request));
  }

  std::vector<HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  Handler handler_;
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
};

}  // namespace platform
