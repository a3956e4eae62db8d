// The insole's side of a firmware update: the handshake, chunks taken in
// order and checked, the verdict on the whole image, the reboot into it.
#include <algorithm>

#include "util/crc32.h"
#include "log/log.h"
#include "protocol/codec.h"
#include "sim/insole_state.h"

namespace tvis::sim {

namespace {

constexpr uint32_t kMaxChunk = 512;
constexpr int kChunkRetries = 3;  // CRC failures in a row on one offset before the update is given up

const char* ota_name(Ota o) {
  switch (o) {
    case Ota::Idle: return "idle";
    case Ota::Receiving: return "receiving";
    case Ota::Verifying: return "verifying";
    case Ota::Verified: return "verified";
  }
  return "?";
}

// The request-level error that goes with an update failure.
int32_t err_of(int32_t ota_result) {
  switch (ota_result) {
    case OTA_RESULT_OK: return OK;
    case OTA_RESULT_ERR_BUSY: return BUSY;
    case OTA_RESULT_ERR_SIZE:
    case OTA_RESULT_ERR_CHECKSUM: return PARAM_ERROR;
    case OTA_RESULT_ERR_LOW_BATTERY: return NOT_READY;
    case OTA_RESULT_ERR_VERSION: return NOT_SUPPORTED;
    case OTA_RESULT_ERR_FLASH: return HARDWARE_ERROR;
    default: return INVALID_COMMAND;
  }
}

}  // namespace

void VirtualInsole::State::reset_update() {
  ota = Ota::Idle;
  std::vector<uint8_t>().swap(image);
  verify_at = auto_reboot_at = kNever;
  bad_crc_run = 0;
}

void VirtualInsole::State::abandon_update(const char* why) {
  TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": firmware update given up in state ", ota_name(ota), " (", why,
           ")");
  reset_update();
}

void VirtualInsole::State::send_ota_answer() {
  ++ota_answers;
  if (cfg.faults.lose_ota_answer == ota_answers) {
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected loss of update answer ", ota_answers);
    return;
  }
  send(us_of_ms(cfg.faults.ota_answer_delay_ms));
}

void VirtualInsole::State::ota_answer(int32_t state, uint32_t offset, int32_t result, int32_t& err) {
  OtaResp& r = msg.ota_resp.emplace();
  r.state = state;
  r.offset = offset;
  r.result = result;
  if (result != OTA_RESULT_OK && err == OK) err = err_of(result);
}

bool VirtualInsole::State::stage_fault(OtaStage stage, const char* what) {
  if (cfg.faults.disconnect_in_ota != stage) return false;
  TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": injected disconnect on ", what);
  drop_link(now + us_of_ms(cfg.link_down_ms));
  return true;
}

bool VirtualInsole::State::handle_ota_req(const OtaReq& req, int32_t& err) {
  last_ota = now;
  switch (req.cmd) {
    case OTA_CMD_START: {
      if (stage_fault(OtaStage::Handshake, "the handshake")) return false;
      int32_t refuse = OTA_RESULT_OK;
      if (cfg.faults.refuse_update != OTA_RESULT_OK) refuse = cfg.faults.refuse_update;
      else if (!charging && battery < cfg.ota_min_battery_pct) refuse = OTA_RESULT_ERR_LOW_BATTERY;
      else if (req.file_size == 0 || req.file_size > cfg.max_image_size) refuse = OTA_RESULT_ERR_SIZE;
      if (refuse != OTA_RESULT_OK) {
        TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": update of ", req.file_size, " bytes refused (result ",
                 refuse, ")");
        ota_answer(ota_state_of(ota), 0, refuse, err);
        return true;
      }
      if (ota != Ota::Idle) abandon_update("a new handshake");
      stop_stream();
      ota = Ota::Receiving;
      file_size = req.file_size;
      file_crc = req.file_crc32;
      image.reserve(std::min<size_t>(file_size, 64 * 1024));
      chunks_received = 0;
      upload_fault_fired = false;
      TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": update of ", file_size, " bytes started");
      ota_answer(DOWNLOADING, 0, OTA_RESULT_OK, err);
      return true;
    }
    case OTA_CMD_VERIFY:
      if (stage_fault(OtaStage::Verify, "verify")) return false;
      if (ota == Ota::Verifying || ota == Ota::Verified) {
        ota_answer(VERIFYING, file_size, OTA_RESULT_OK, err);  // asked again: still on it
      } else if (ota != Ota::Receiving) {
        ota_answer(IDLE, 0, OTA_RESULT_ERR_UNKNOWN, err);
      } else if (image.size() != file_size) {
        ota_answer(DOWNLOADING, static_cast<uint32_t>(image.size()), OTA_RESULT_ERR_SIZE, err);
        abandon_update("verify before the whole image");
      } else {
        ota = Ota::Verifying;
        verify_at = now + us_of_ms(cfg.verify_ms);
        ota_answer(VERIFYING, file_size, OTA_RESULT_OK, err);
      }
      return true;
    case OTA_CMD_REBOOT:
      if (stage_fault(OtaStage::Reboot, "reboot")) return false;
      reboot("asked by the host");
      return false;
    default:
      ota_answer(ota_state_of(ota), 0, OTA_RESULT_ERR_UNKNOWN, err);
      return true;
  }
}

bool VirtualInsole::State::handle_ota_data(const OtaData& d, int32_t& err) {
  last_ota = now;
  if (ota != Ota::Receiving) {
    ota_answer(ota_state_of(ota), 0, OTA_RESULT_ERR_UNKNOWN, err);
    return true;
  }
  const uint32_t expected = static_cast<uint32_t>(image.size());
  if (!upload_fault_fired && d.offset >= file_size / 2 && cfg.faults.disconnect_in_ota == OtaStage::Upload) {
    upload_fault_fired = true;
    stage_fault(OtaStage::Upload, "a chunk");
    return false;
  }
  ++chunks_received;
  if (d.offset != expected) {
    // Not the chunk asked for: ask again.
    TVIS_LOG(log::Level::Debug, kTarget, cfg.name, ": chunk at ", d.offset, " while expecting ", expected);
    ota_answer(DOWNLOADING, expected, OTA_RESULT_OK, err);
    err = PARAM_ERROR;
    return true;
  }
  if (d.data.empty() || d.data.size() > kMaxChunk || d.data.size() > file_size - expected) {
    TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": chunk of ", d.data.size(), " bytes at ", d.offset,
             " does not fit an image of ", file_size);
    ota_answer(DOWNLOADING, expected, OTA_RESULT_ERR_SIZE, err);
    abandon_update("a chunk of the wrong size");
    return true;
  }
  const Faults& f = cfg.faults;
  const bool corrupted = f.corrupt_chunk != 0 && chunks_received >= f.corrupt_chunk &&
                         chunks_received - f.corrupt_chunk < f.corrupt_chunk_count;
  if (corrupted || crc32(d.data) != d.crc32) {
    TVIS_LOG(log::Level::Info, kTarget, cfg.name, ": chunk at ", d.offset, " failed its CRC-32 check",
             corrupted ? " (injected)" : "");
    if (++bad_crc_run >= kChunkRetries) {
      ota_answer(DOWNLOADING, expected, OTA_RESULT_ERR_CHECKSUM, err);
      abandon_update("a chunk failed its check three times");
    } else {
      ota_answer(DOWNLOADING, expected, OTA_RESULT_OK, err);
      err = PARAM_ERROR;
    }
    return true;
  }
  bad_crc_run = 0;
  image.insert(image.end(), d.data.begin(), d.data.end());
  const uint32_t next = static_cast<uint32_t>(image.size());
  ota_answer(next == file_size ? DOWNLOAD_FINISHED : DOWNLOADING, next, OTA_RESULT_OK, err);
  return true;
}

void VirtualInsole::State::finish_verify() {
  verify_at = kNever;
  clear(msg);
  int32_t err = OK;
  if (crc32(image) == file_crc) {
    ota = Ota::Verified;
    auto_reboot_at = now + us_of_ms(cfg.auto_reboot_ms);
    ota_answer(REBOOTING, file_size, OTA_RESULT_OK, err);
  } else {
    TVIS_LOG(log::Level::Warn, kTarget, cfg.name, ": image CRC-32 ", hex8(crc32(image)), " is not the announced ",
             hex8(file_crc));
    ota_answer(VERIFYING, file_size, OTA_RESULT_ERR_CHECKSUM, err);
    reset_update();
  }
  msg.err_code = err;
  send_ota_answer();
}

}  // namespace tvis::sim
