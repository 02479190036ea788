#include "platform/http_client.hpp"

#include <boost/algorithm/string/predicate.hpp>

namespace platform {

std::optional<std::string_view> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (boost::algorithm::iequals(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

runtime::Task<HttpResponse> HttpClient::get(boost::urls::url url, HttpHeaders headers) {
  HttpRequest request;
  request.method = HttpMethod::get;
  request.url = std::move(url);
  request.headers = std::move(headers);
  co_return co_await send(std::move(request));
}

runtime::Task<HttpResponse> HttpClient::post(boost::urls::url url, HttpHeaders headers,
                                             std::string body) {
  HttpRequest request;
  request.method = HttpMethod::post;
  request.url = std::move(url);
  request.headers = std::move(headers);
  request.body = std::move(body);
  co_return co_await send(std::move(request));
}

}  // namespace platform
