// What a StreamParser made for one insole (given a device id) hands to the
// rest of the SDK: its device events to the device event callback, its update
// answers to the update running for that id, its samples to the id's live
// gait (when enabled) and the gait events to their callback, as the C receive
// path does.
// The other messages reach no callback; the parser returns them as JSON.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "protocol/json_stream.h"
#include "protocol/messages.h"
#include "runtime/live_gait.h"

namespace tvis::py {

class DeviceDispatch {
 public:
  explicit DeviceDispatch(std::string device_id) : device_id_(std::move(device_id)) {}

  // The stream's hook: notes what is to be handed on. Nothing is called from
  // inside the stream, so a callback may push into the same parser again.
  protocol::DecodedHook hook() { return {&DeviceDispatch::note, this}; }

  bool pending() const { return !pending_.empty(); }
  // Hands on what was noted, in stream order. Callbacks run on this thread;
  // the caller holds the interpreter lock and has no exception set.
  void deliver();
  void clear() { pending_.clear(); }

 private:
  using Item = std::variant<protocol::DeviceEvent, protocol::OtaResp, TvisGaitEvent>;
  static void note(void* self, const protocol::InsoleResp& msg, const protocol::SequenceStep* step);

  std::string device_id_;  // holds no NUL: the constructor's caller checked
  c::LiveGaitLink gait_;   // the id's live gait, fed as the receive path feeds it
  std::vector<Item> pending_;
};

}  // namespace tvis::py
