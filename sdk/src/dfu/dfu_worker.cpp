#include "dfu/dfu_worker.h"

#include <algorithm>
#include <atomic>
#include <cxxabi.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/callbacks.h"
#include "runtime/ota_waiter.h"
#include "dfu/timing.h"
#include "log/log.h"
#include "protocol/codec.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "util/crc32.h"

namespace tvis::dfu {

namespace {

using namespace std::chrono_literals;
using protocol::InsoleReq;
using protocol::OtaResp;

constexpr auto kAnswerTimeout = 5000ms;
constexpr const char* kAbortedText = "OTA Aborted by device";

void report(const std::string& device_id, Stage stage, const std::string& message, double percentage = 0.0,
            double speed_kbps = 0.0, double eta_secs = 0.0) {
  auto fn = c::load(c::callbacks().dfu_progress);
  if (fn == nullptr) return;
  TvisDfuProgress progress{stage, percentage, speed_kbps, eta_secs, message.c_str()};
  fn(device_id.c_str(), &progress);
}

InsoleReq ota_command(protocol::OtaCmd cmd, uint32_t file_size = 0, uint32_t file_crc32 = 0) {
  InsoleReq req;
  req.msg_id = next_dfu_msg_id();
  auto& ota = req.ota_req.emplace();
  ota.cmd = cmd;
  ota.file_size = file_size;
  ota.file_crc32 = file_crc32;
  return req;
}

InsoleReq chunk_request(const std::vector<uint8_t>& image, uint32_t offset, uint32_t seq) {
  const size_t end = std::min(image.size(), static_cast<size_t>(offset) + kChunkSize);
  InsoleReq req;
  req.msg_id = next_dfu_msg_id();
  auto& data = req.ota_data.emplace();
  data.offset = offset;
  data.data.assign(image.begin() + offset, image.begin() + static_cast<std::ptrdiff_t>(end));
  data.is_last = static_cast<size_t>(offset) + kChunkSize >= image.size();
  data.seq = seq;
  data.crc32 = crc32(data.data);
  return req;
}

// Registers the update's mailbox for the device. An update still running for
// it (a retry, a double click) is stopped first: once its mailbox is no longer
// in the registry no abort by id could reach it, and it would go on writing to
// the insole beside the newer one. Marked under the registry lock, so no abort
// or answer by id finds the device between the two updates.
void register_waiter(const std::string& device_id, std::shared_ptr<c::OtaWaiter> waiter) {
  c::OtaWaiters& registry = c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  auto [it, inserted] = registry.map.try_emplace(device_id, waiter);
  if (inserted) return;
  it->second->abort();  // the waiter's lock nests inside the registry's
  it->second = std::move(waiter);
}

// Removes the device's entry only while it is still this update's own, so a
// newer update for the same device keeps receiving its answers.
void unregister_waiter(const std::string& device_id, const std::shared_ptr<c::OtaWaiter>& waiter) {
  c::OtaWaiters& registry = c::ota_waiters();
  std::lock_guard lock(registry.mutex);
  auto it = registry.map.find(device_id);
  if (it != registry.map.end() && it->second == waiter) registry.map.erase(it);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  const auto now = std::chrono::steady_clock::now();
  if (now < start) return 0.0;
  return std::chrono::duration<double>(now - start).count();
}

enum class Sent { kSent, kAborted, kFailed };

// Writes nothing once the update is aborted, so that after tvis_abort_dfu has
// returned no request of this update reaches the insole; the error text of a
// failed write goes to *error.
Sent send_unless_aborted(const std::string& device_id, const InsoleReq& req, c::OtaWaiter& waiter,
                         std::string* error = nullptr) {
  if (waiter.aborted()) return Sent::kAborted;
  auto sent = send_request_frame(device_id, req);
  if (sent) return Sent::kSent;
  if (error != nullptr) *error = sent.error();
  return Sent::kFailed;
}

// Waits for answers and acts on them until the update ends; reports the one
// terminal stage.
void exchange(const std::string& device_id, const std::vector<uint8_t>& image, c::OtaWaiter& waiter) {
  const auto start = std::chrono::steady_clock::now();
  const double length = static_cast<double>(image.size());
  uint32_t seq = 1;
  double last_percentage = 0.0;

  for (;;) {
    std::optional<OtaResp> answer = waiter.take(scaled(kAnswerTimeout));
    if (!answer) {
      report(device_id, kFailed, "Timeout waiting for OTA response", last_percentage);
      return;
    }
    if (answer->result != 0) {
      report(device_id, kFailed, log::cat("OTA failed with error code: ", answer->result), last_percentage);
      return;
    }
    switch (answer->state) {
      case protocol::DOWNLOADING: {
        if (answer->offset >= image.size()) {
          report(device_id, kVerifying, "Firmware upload complete. Verifying...", 100.0);
          // Unsent when aborted: the next take() reports the abort.
          (void)send_unless_aborted(device_id, ota_command(protocol::OTA_CMD_VERIFY), waiter);
          break;
        }
        const size_t end = std::min(image.size(), static_cast<size_t>(answer->offset) + kChunkSize);
        std::string error;
        const Sent sent = send_unless_aborted(device_id, chunk_request(image, answer->offset, seq), waiter, &error);
        if (sent == Sent::kAborted) {
          report(device_id, kAborted, kAbortedText, last_percentage);
          return;
        }
        if (sent == Sent::kFailed) {
          report(device_id, kFailed, error, last_percentage);
          return;
        }
        const double elapsed = seconds_since(start);
        double speed_kbps = 0.0, eta_secs = 0.0;
        if (elapsed > 0.0) {
          speed_kbps = (static_cast<double>(end) / elapsed) * (1.0 / 1024.0);
          if (speed_kbps > 0.0) eta_secs = ((length - static_cast<double>(end)) / 1024.0) / speed_kbps;
        }
        last_percentage = static_cast<double>(end) / length * 100.0;
        report(device_id, kUploading, log::cat("Uploading offset: ", answer->offset), last_percentage, speed_kbps,
               eta_secs);
        ++seq;
        break;
      }
      case protocol::DOWNLOAD_FINISHED:
        report(device_id, kVerifying, "Verifying firmware image...", 100.0);
        (void)send_unless_aborted(device_id, ota_command(protocol::OTA_CMD_VERIFY), waiter);
        break;
      case protocol::VERIFYING:
        report(device_id, kVerifying, "Verifying image on device...", 100.0);
        break;
      case protocol::REBOOTING:
        report(device_id, kRebooting, "Verification success. Rebooting device...", 100.0);
        // Unsent when aborted: the pause below then reports the abort at once.
        (void)send_unless_aborted(device_id, ota_command(protocol::OTA_CMD_REBOOT), waiter);
        if (waiter.aborted_within(scaled(1000ms))) {
          report(device_id, kAborted, kAbortedText, last_percentage);
          return;
        }
        report(device_id, kCompleted, "Upgrade completed successfully!", 100.0);
        return;
      case protocol::ABORT:
        report(device_id, kAborted, kAbortedText, last_percentage);
        return;
      default:
        report(device_id, kFailed, "Invalid OTA state received", last_percentage);
        return;
    }
  }
}

enum class Opening { kSent, kAborted, kFailed };

// Loading, checksum and handshake. An abort in any of them ends the update
// before anything (more) goes to the insole.
Opening open_update(const std::string& device_id, const std::vector<uint8_t>& image, c::OtaWaiter& waiter) {
  report(device_id, kLoading, "Loading firmware...");
  if (waiter.aborted_within(scaled(500ms))) return Opening::kAborted;
  report(device_id, kChecksum, "Calculating CRC32 checksum...");
  const uint32_t file_crc = crc32(image);
  waiter.open();
  if (waiter.aborted_within(scaled(200ms))) return Opening::kAborted;
  report(device_id, kHandshake, "Initiating OTA handshake...");
  std::string error;
  const Sent sent = send_unless_aborted(
      device_id, ota_command(protocol::OTA_CMD_START, static_cast<uint32_t>(image.size()), file_crc), waiter, &error);
  if (sent == Sent::kAborted) return Opening::kAborted;
  if (sent == Sent::kFailed) {
    report(device_id, kFailed, error);
    return Opening::kFailed;
  }
  return Opening::kSent;
}

void run_update(const std::string& device_id, const std::vector<uint8_t>& image,
                const std::shared_ptr<c::OtaWaiter>& waiter) {
  TVIS_LOG(log::Level::Info, log::kTargetDfu, "DFU thread started for device: ", device_id,
           ", size: ", image.size());
  const Opening opening = open_update(device_id, image, *waiter);
  if (opening == Opening::kAborted) report(device_id, kAborted, kAbortedText);
  if (opening == Opening::kSent) exchange(device_id, image, *waiter);
  unregister_waiter(device_id, waiter);
  // A handshake that could not be sent ends the update without the closing line.
  if (opening != Opening::kFailed)
    TVIS_LOG(log::Level::Info, log::kTargetDfu, "DFU thread terminated for device: ", device_id);
}

}  // namespace

uint32_t next_dfu_msg_id() {
  static std::atomic<uint32_t> next{100};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Result<void, std::string> send_request_frame(const std::string& device_id, const InsoleReq& req) {
  std::vector<uint8_t> frame;
  try {
    auto framed = protocol::frame_request(req, protocol::kDefaultDestId);
    if (!framed) return std::string("Frame too large");
    frame = std::move(framed).value();
  } catch (const std::bad_alloc&) {
    return std::string("Encode error");
  }
  auto fn = c::load(c::callbacks().ble_write);
  if (fn == nullptr) return std::string("No BLE write callback registered");
  fn(device_id.c_str(), frame.data(), frame.size());
  return {};
}

void start_update(std::string device_id, std::vector<uint8_t> image) {
  // Registered before the thread exists, so an abort asked for the moment
  // this returns already finds the update. Answers are let in only once the
  // checksum is done.
  auto waiter = std::make_shared<c::OtaWaiter>(/*open=*/false);
  register_waiter(device_id, waiter);
  try {
    std::thread([id = device_id, img = std::move(image), waiter] {
      try {
        run_update(id, img, waiter);
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        // Out of memory mid-update: the thread ends; nothing may escape it.
        unregister_waiter(id, waiter);
      }
    }).detach();
  } catch (...) {
    unregister_waiter(device_id, waiter);
    throw;
  }
}

void abort_update(std::string_view device_id) { c::abort_ota_update(device_id); }

}  // namespace tvis::dfu
