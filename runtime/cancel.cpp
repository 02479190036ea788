#include "runtime/cancel.hpp"

#include <algorithm>
#include <utility>

namespace runtime {

bool CancelState::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void CancelState::cancel() {
  std::vector<std::pair<std::uint64_t, std::function<void()>>> callbacks;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    callbacks.swap(callbacks_);
  }
  for (auto& entry : callbacks) entry.second();
}

std::uint64_t CancelState::add(std::function<void()> callback) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_) {
      callbacks_.emplace_back(nextID_, std::move(callback));
      return nextID_++;
    }
  }
  callback();
  return 0;
}

void CancelState::remove(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(callbacks_, [id](const auto& entry) { return entry.first == id; });
}

CancelRegistration::CancelRegistration(std::shared_ptr<CancelState> state,
                                       std::function<void()> callback)
    : state_(std::move(state)) {
  id_ = state_->add(std::move(callback));
}

CancelRegistration::CancelRegistration(CancelRegistration&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

CancelRegistration& CancelRegistration::operator=(CancelRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

CancelRegistration::~CancelRegistration() { reset(); }

void CancelRegistration::reset() {
  if (state_ && id_ != 0) state_->remove(id_);
  state_.reset();
  id_ = 0;
}

CancelRegistration CancelToken::onCancel(std::function<void()> callback) const {
  if (!state_) return {};
  return CancelRegistration(state_, std::move(callback));
}

}  // namespace runtime
