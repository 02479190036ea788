#include "flowgate/provider/app_messages.hpp"

#include "flowgate/provider/flowgate_provider.hpp"
#include "runtime/json_codec.hpp"
#include "runtime/spawn.hpp"
#include "runtime/text.hpp"

#include <boost/json/serialize.hpp>

namespace flowgate {

std::optional<bool> highSpeedRequest(std::string_view message) {
  if (!runtime::isValidUTF8(message) || !message.starts_with(highSpeedPrefix)) return std::nullopt;
  return message.ends_with("on");
}

std::string nodeStatusJSON(const std::vector<PathStatus>& nodes) {
  boost::json::object answer;
  answer["nodes"] = runtime::json::encode(nodes);
  return boost::json::serialize(answer);
}

void Flowgate::handleAppMessage(std::string message, MessageCompletion completion) {
  auto pool = sessionPool();
  if (auto mode = highSpeedRequest(message)) {
    runtime::spawn(env_.executor,
                   [](std::shared_ptr<NodeSessionPool> target, bool enabled,
                      MessageCompletion done) -> runtime::Task<void> {
                     try {
                       if (target) co_await target->updateHighSpeed(enabled);
                     } catch (...) {
                       // The answer carries no data either way.
                     }
                     if (done) done(std::nullopt);
                   }(std::move(pool), *mode, std::move(completion)));
    return;
  }
  if (!pool) {
    if (completion) completion(nodeStatusJSON({}));
    return;
  }
  runtime::spawn(
      env_.executor,
      [](std::shared_ptr<NodeSessionPool> target, MessageCompletion done) -> runtime::Task<void> {
        std::optional<std::string> answer;
        try {
          auto nodes = co_await target->status();
          answer = nodeStatusJSON(nodes);
        } catch (...) {
          // A present handler is called all the same, with no data.
        }
        if (done) done(std::move(answer));
      }(std::move(pool), std::move(completion)));
}

}  // namespace flowgate
