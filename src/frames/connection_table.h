// A connection table: the session's map from an id, exactly as the service
// sent it, to what the tunnel keeps for that id's local connection. The
// lock is held only while the map itself is read or changed, never across a
// wait, so no local connection can keep another from its entry.
//
// Every entry carries the serial of the connection it was made for. A
// connection that ends removes only its own entry: once the service has
// opened the id again, the entry belongs to the newer connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace vostrelin::frames {

template <class Entry>
class ConnectionTable {
 public:
  using Map = std::unordered_map<std::string, Entry>;

  // Runs f(map) with the table locked; f must not wait.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard<std::mutex> guard(mutex_);
    return f(map_);
  }

  uint64_t next_serial() { return serial_.fetch_add(1, std::memory_order_relaxed) + 1; }

  // Removes the entry under `id`, whichever connection it belongs to, and
  // hands it over (an empty entry when there was none), so that the caller
  // destroys it after the lock is released.
  Entry take(const std::string& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    Entry gone;
    if (auto it = map_.find(id); it != map_.end()) {
      gone = std::move(it->second);
      map_.erase(it);
    }
    return gone;
  }

  // Removes the entry under `id` if it is still the one made with `serial`.
  // The entry is destroyed after the lock is released.
  bool remove_own(const std::string& id, uint64_t serial) {
    Entry gone;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = map_.find(id);
      if (it == map_.end() || it->second.serial != serial) return false;
      gone = std::move(it->second);
      map_.erase(it);
    }
    return true;
  }

 private:
  std::mutex mutex_;
  Map map_;
  std::atomic<uint64_t> serial_{0};
};

}  // namespace vostrelin::frames
