#pragma once

// Change notification of the application's observable objects: screens
// register a callback and are told, on the object's executor, that its
// published properties changed.

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace veskar {

class Observers {
 public:
  using Callback = std::function<void()>;

  std::uint64_t add(Callback callback) {
    callbacks_.emplace_back(nextID_, std::move(callback));
    return nextID_++;
  }
  void remove(std::uint64_t id) {
    std::erase_if(callbacks_, [id](const auto& entry) { return entry.first == id; });
  }
  void notify() const {
    // A copy: a callback may add or remove observers.
    auto callbacks = callbacks_;
    for (const auto& [id, callback] : callbacks) callback();
  }

 private:
  std::uint64_t nextID_ = 1;
  std::vector<std::pair<std::uint64_t, Callback>> callbacks_;
};

}  // namespace veskar
