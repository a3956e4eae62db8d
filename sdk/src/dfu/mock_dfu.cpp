#include "dfu/mock_dfu.h"

#include <cxxabi.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/ota_waiter.h"
#include "dfu/timing.h"
#include "log/log.h"

namespace tvis::dfu {

namespace {

using namespace std::chrono_literals;

constexpr int kLookups = 20;
constexpr uint32_t kImageSize = 10240;
constexpr uint32_t kStep = 512;

std::shared_ptr<c::OtaWaiter> find_waiter(const std::string& device_id) {
  c::OtaWaiters& registry = c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  auto it = registry.map.find(device_id);
  return it == registry.map.end() ? nullptr : it->second;
}

void post(c::OtaWaiter& waiter, int32_t state, uint32_t offset) {
  protocol::OtaResp answer;
  answer.state = state;
  answer.offset = offset;
  waiter.post(answer);  // only the waiter's own lock: the registry lock is not held
}

void run_mock(const std::string& device_id) {
  TVIS_LOG(log::Level::Info, log::kTargetDfu, "Mock DFU thread started for device: ", device_id);
  std::shared_ptr<c::OtaWaiter> waiter;
  for (int attempt = 0; attempt < kLookups && !waiter; ++attempt) {
    waiter = find_waiter(device_id);
    if (!waiter) sleep_for(100ms);
  }
  if (!waiter) {
    TVIS_LOG(log::Level::Error, log::kTargetDfu, "Mock DFU failed: OtaWaiter not registered by client DFU thread.");
    return;
  }
  sleep_for(1500ms);
  post(*waiter, protocol::DOWNLOADING, 0);
  for (uint32_t offset = kStep; offset <= kImageSize; offset += kStep) {
    sleep_for(150ms);
    post(*waiter, protocol::DOWNLOADING, offset);
  }
  sleep_for(1000ms);
  post(*waiter, protocol::VERIFYING, kImageSize);
  sleep_for(1000ms);
  post(*waiter, protocol::REBOOTING, kImageSize);
  TVIS_LOG(log::Level::Info, log::kTargetDfu, "Mock DFU thread finished for device: ", device_id);
}

}  // namespace

void start_mock_update(std::string device_id) {
  std::thread([id = std::move(device_id)] {
    try {
      run_mock(id);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
    }
  }).detach();
}

}  // namespace tvis::dfu
