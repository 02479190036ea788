#include "testbed/control/token_book.hpp"

#include "runtime/base64.hpp"
#include "testbed/control/api_error.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace testbed {

namespace {

// Expired entries stay known for a while so that their use is answered as
// expiry rather than as an unknown token.
constexpr double keepExpiredSeconds = 3600;
constexpr std::size_t sweepEvery = 1024;

}  // namespace

std::string randomToken() {
  std::array<std::uint8_t, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("no random bytes");
  }
  return runtime::base64::encodeURL(bytes);
}

TokenBook::TokenBook(const runtime::Clock& clock, TokenLifetimes lifetimes)
    : clock_(clock), lifetimes_(lifetimes) {}

TokenPair TokenBook::issue(TokenOwner owner) {
  if (++issuedSinceSweep_ >= sweepEvery) forgetLongExpired();
  auto now = clock_.now();
  TokenPair pair{randomToken(), lifetimes_.accessSeconds, randomToken()};
  access_[pair.accessToken] =
      Entry{owner, now.adding(static_cast<double>(lifetimes_.accessSeconds))};
  refresh_[pair.refreshToken] =
      Entry{std::move(owner), now.adding(static_cast<double>(lifetimes_.refreshSeconds))};
  return pair;
}

const TokenOwner& TokenBook::authenticate(std::string_view accessToken) const {
  auto it = access_.find(std::string(accessToken));
  if (it == access_.end()) throw ApiError::unauthorized("invalid_token");
  if (it->second.expiresAt <= clock_.now()) throw ApiError::unauthorized("token_expired");
  return it->second.owner;
}

TokenPair TokenBook::refresh(std::string_view refreshToken) {
  auto it = refresh_.find(std::string(refreshToken));
  if (it == refresh_.end() || it->second.expiresAt <= clock_.now()) {
    throw ApiError::unauthorized("invalid_refresh_token");
  }
  auto owner = std::move(it->second.owner);
  refresh_.erase(it);
  return issue(std::move(owner));
}

bool TokenBook::expire(std::string_view token) {
  std::string key(token);
  bool found = false;
  for (auto* book : {&access_, &refresh_}) {
    if (auto it = book->find(key); it != book->end()) {
      it->second.expiresAt = clock_.now();
      found = true;
    }
  }
  return found;
}

void TokenBook::forgetLongExpired() {
  issuedSinceSweep_ = 0;
  auto horizon = clock_.now().adding(-keepExpiredSeconds);
  for (auto* book : {&access_, &refresh_}) {
    std::erase_if(*book, [&](const auto& entry) { return entry.second.expiresAt < horizon; });
  }
}

}  // namespace testbed
