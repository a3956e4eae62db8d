// Device ids key the per-device tables by their exact bytes. Lookups take a
// string_view, so the hot path never builds a std::string to search.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tvis::c {

struct DeviceKeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using DeviceMap = std::unordered_map<std::string, V, DeviceKeyHash, std::equal_to<>>;

// A process-wide per-device table behind its own mutex. Instances are made
// with `new` and never destroyed, so detached threads still running at exit
// never see one torn down.
template <class V>
struct LockedDeviceMap {
  std::mutex mutex;
  DeviceMap<V> map;
};

}  // namespace tvis::c
