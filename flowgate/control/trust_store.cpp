#include "flowgate/control/trust_store.hpp"

#include "platform/url.hpp"
#include "runtime/cancel.hpp"

namespace flowgate {

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

TrustStore::TrustStore(const runtime::Executor& executor,
                       std::shared_ptr<platform::HttpClient> session,
                       std::shared_ptr<platform::UserDefaults> defaults)
    : Serialized(executor), session_(std::move(session)), defaults_(std::move(defaults)) {}

runtime::Task<TrustBundle> TrustStore::load(std::string controllerURL) {
  // The operation holds what it uses, not the store: a store destroyed while a
  // download is under way leaves nothing dangling.
  return serialized(download(session_, defaults_, std::move(controllerURL)));
}

runtime::Task<TrustBundle> TrustStore::download(std::shared_ptr<platform::HttpClient> session,
                                                std::shared_ptr<platform::UserDefaults> defaults,
                                                std::string controllerURL) {
  try {
    auto base = platform::parseURL(controllerURL);
    if (!base) runtime::fail(TrustStoreError::invalidBundle);
    auto url = platform::appendingPath(*base, "/v1/trust-bundle");
    auto response = co_await session->get(std::move(url));
    if (response.status != 200) runtime::fail(TrustStoreError::unavailable);
    auto bundle = decodeTrustBundle(bytesOf(response.body));
    std::optional<TrustBundle> stored;
    try {
      stored = cached(*defaults);
    } catch (const runtime::SystemError&) {
      // An unreadable stored bundle does not stand in the way of a new one.
    }
    if (stored && bundle.version < stored->version) runtime::fail(TrustStoreError::rollback);
    try {
      defaults->setData(defaultsKey, response.body);
    } catch (const runtime::SystemError&) {
      // Not kept for next time, but valid and current: it is the answer.
    }
    co_return bundle;
  } catch (const runtime::CancellationError&) {
    throw;
  } catch (const runtime::SystemError& e) {
    if (e.code() == TrustStoreError::rollback) throw;
  } catch (const std::exception&) {
    // Any other failure of the attempt falls back to the stored bundle too.
  }
  co_return cached(*defaults);
}

TrustBundle TrustStore::cached(const platform::UserDefaults& defaults) {
  auto stored = defaults.data(defaultsKey);
  if (!stored) runtime::fail(TrustStoreError::unavailable);
  return decodeTrustBundle(bytesOf(*stored));
}

}  // namespace flowgate
