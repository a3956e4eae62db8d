// A firmware update on a worker thread of its own: announce the image, send
// 512-byte chunks at the offsets the insole asks for, verify, reboot, and
// report every stage to the DFU progress callback.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/messages.h"
#include "trova_insole_sdk.h"
#include "util/result.h"

namespace tvis::dfu {

inline constexpr size_t kChunkSize = 512;

// The stages hosts see in TvisDfuProgress.state; the public header owns the numbers.
enum Stage : int32_t {
  kLoading = TVIS_DFU_LOADING,
  kChecksum = TVIS_DFU_CHECKSUM,
  kHandshake = TVIS_DFU_HANDSHAKE,
  kUploading = TVIS_DFU_UPLOADING,
  kVerifying = TVIS_DFU_VERIFYING,
  kRebooting = TVIS_DFU_REBOOTING,
  kCompleted = TVIS_DFU_COMPLETED,
  kFailed = TVIS_DFU_FAILED,
  kAborted = TVIS_DFU_ABORTED,
};

// Frames the request (timestamp as given, destination 2) and hands it to the
// BLE write callback. The error is the text reported as the failure.
Result<void, std::string> send_request_frame(const std::string& device_id, const protocol::InsoleReq& req);

// Next msg_id of a DFU request: 100 first, shared by every update, wrapping.
uint32_t next_dfu_msg_id();

// Copies nothing: the caller passes ownership of the id and image. Registers
// the update under the id, so that it can be aborted from the moment this
// returns, aborting the one still registered there, and starts a detached
// thread; throws std::system_error (leaving
// nothing registered) when no thread can be started.
void start_update(std::string device_id, std::vector<uint8_t> image);

// Ends the device's running update, if any, at whatever stage it is in; no
// answer of the insole can undo that.
void abort_update(std::string_view device_id);

}  // namespace tvis::dfu
