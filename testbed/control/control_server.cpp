#include "testbed/control/control_server.hpp"
#include "runtime/async.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

namespace testbed {

namespace asio = boost::asio;
namespace http = boost::beast::http;

namespace {

std::string pathOf(const HttpRequest& request) {
  std::string_view target = request.target();
  return std::string(target.substr(0, target.find('?')));
}

runtime::Task<HttpReply> serveControl(ControlService* service, FaultBoard* faults,
                                      HttpRequest request) {
  auto path = pathOf(request);
  if (auto fault = faults->arrive(path)) {
    if (fault->delay.count() > 0) {
      asio::steady_timer timer(co_await asio::this_coro::executor, fault->delay);
      co_await timer.async_wait(runtime::asTuple);
    }
    if (fault->close) co_return HttpReply{0, {}, {}, true};
    if (fault->status) co_return HttpReply{*fault->status, fault->body, fault->contentType};
  }
  ControlRequest call{std::string(request.method_string()), path,
                      std::string(request[http::field::authorization]), std::move(request.body())};
  auto answer = service->handle(call);
  co_return HttpReply{answer.status, std::move(answer.body), std::move(answer.contentType)};
}

}  // namespace

HttpHandler controlHandler(ControlService& service, FaultBoard& faults) {
  return
      [service = &service, faults = &faults](HttpRequest request, boost::asio::ip::tcp::endpoint) {
        return serveControl(service, faults, std::move(request));
      };
}

}  // namespace testbed
