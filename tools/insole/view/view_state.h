// The latest state of every insole for the browser view. The source's thread
// hands in notifications; each insole's frames are reassembled and decoded
// there through the SDK's parser and codec, and only the newest values are
// kept. The server's thread takes a snapshot as JSON at the display rate, so
// however slow the page, the receive path never waits for it and nothing
// piles up.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "insole/sources/source.h"
#include "insole/view/view_layout.h"
#include "protocol/messages.h"
#include "protocol/sequence.h"

namespace insole {

struct DfuReport {
  int32_t state = 0;  // 0 loading ... 3 uploading ... 6 completed, 7 failed, 8 aborted
  double percentage = 0;
  double speed_kbps = 0;
  double eta_secs = 0;
  std::string message;
};

class ViewState {
 public:
  ViewState(CellLayout layout, std::string source_name);
  ~ViewState();
  ViewState(const ViewState&) = delete;
  ViewState& operator=(const ViewState&) = delete;

  // From the source's thread (one thread at a time).
  void on_event(const SourceEvent& event);

  // From any thread: a firmware update's progress, a recording's file.
  void on_dfu(const std::string& device_id, const DfuReport& report);
  void set_recording(const std::string& path);

  // Grows with every change; a server sends a snapshot only when it moved.
  uint64_t version() const { return version_.load(std::memory_order_acquire); }

  // Every insole as one JSON object (see the page's view.js for its fields).
  // now_ns: the host clock (ns since the Unix epoch), for the frame rates.
  std::string snapshot_json(int64_t now_ns);

  const CellLayout& layout() const { return layout_; }

  // Frames decoded so far, all insoles together (for the tests' and the
  // benchmark's count of what the source delivered).
  uint64_t frames_total() const;
  // Frames estimated missing from sequence gaps, all insoles together.
  uint64_t lost_total() const;

  // The most insoles one view shows; later new ids are ignored, with one
  // warning, so that a feed cannot grow the view without bound.
  static constexpr size_t kMaxInsoles = 64;

 private:
  struct Insole;
  struct Decoder;
  Insole& insole(const std::string& id);  // with mutex_ held
  bool admit(const std::string& id);      // known, or room for one more
  // One decoded message into its insole's state, with mutex_ held.
  void show(Insole& in, const SourceEvent& e, const tvis::protocol::InsoleResp& msg,
            const tvis::protocol::SequenceStep* step);

  const CellLayout layout_;
  const std::string source_name_;
  std::atomic<uint64_t> version_{0};
  // Per-insole decoders, touched by the source's thread only.
  std::map<std::string, std::unique_ptr<Decoder>, std::less<>> decoders_;
  mutable std::mutex mutex_;  // guards what follows
  std::map<std::string, std::unique_ptr<Insole>, std::less<>> insoles_;
  std::vector<std::string> order_;  // insoles in the order first heard from
  std::string recording_;
  bool refused_warned_ = false;
};

}  // namespace insole
