// The proto3 decoder on arbitrary payload bytes, in both directions
// (InsoleResp from the insole, InsoleReq to it). Whatever decodes must encode
// to exactly encoded_len bytes and decode back to the same message; whatever
// fails must fail with a well-formed error text.
#include <cstddef>
#include <cstdint>
#include <span>

#include "roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> payload(data, size);

  fuzz::check_resp_payload(payload);

  auto req = tvis::protocol::decode_insole_req(payload);
  if (req.ok()) {
    fuzz::check_roundtrip(*req);
  } else {
    fuzz::check_error_text(req.error());
  }
  return 0;
}
