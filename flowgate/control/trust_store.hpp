#pragma once

// Fetches the node trust bundle from the control server, refuses to go back to
// an older version, and keeps the last good bundle so the tunnel can start
// while the control server is unreachable.

#include "flowgate/control/trust_bundle.hpp"
#include "platform/http_client.hpp"
#include "platform/user_defaults.hpp"
#include "runtime/async.hpp"

#include <memory>
#include <string>

namespace flowgate {

class TrustStore : public runtime::Serialized {
 public:
  static constexpr const char* defaultsKey = "trust-bundle";

  TrustStore(const runtime::Executor& executor, std::shared_ptr<platform::HttpClient> session,
             std::shared_ptr<platform::UserDefaults> defaults);

  // The downloaded bundle, stored as received (a failed write does not hide
  // it); on any failure but a rollback, the stored bundle. Throws TrustStoreError::rollback for an
  // older version,
  // ::unavailable when nothing is stored, or the stored bundle's own error.
  runtime::Task<TrustBundle> load(std::string controllerURL);

 private:
  static runtime::Task<TrustBundle> download(std::shared_ptr<platform::HttpClient> session,
                                             std::shared_ptr<platform::UserDefaults> defaults,
                                             std::string controllerURL);
  static TrustBundle cached(const platform::UserDefaults& defaults);

  std::shared_ptr<platform::HttpClient> session_;
  std::shared_ptr<platform::UserDefaults> defaults_;
};

}  // namespace flowgate
