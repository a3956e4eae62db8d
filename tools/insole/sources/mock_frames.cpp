#include "insole/sources/mock_frames.h"

#include "protocol/codec.h"
#include "protocol/frame.h"

namespace insole {

void append_mock_frame(const tvis::mock::FootProfile& profile, uint32_t n, std::vector<uint8_t>& out) {
  using namespace tvis::protocol;
  const std::vector<uint8_t> payload = encode_insole_resp(tvis::mock::sample(profile, n));
  const FrameHeader header;  // version 2, type 0x21, source 1, destination 2, as the mock stream frames
  const size_t at = out.size();
  out.resize(at + frame_len(header.version, payload.size()));
  encode_frame_into(header, payload, out.data() + at);
}

}  // namespace insole
