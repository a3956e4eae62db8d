// The engine behind StreamParser writes all texts of a call into one reused
// buffer; texts longer than the room it makes ahead, and calls with many
// texts, must come out exactly as each message renders alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/json.h"
#include "protocol/json_stream.h"

using namespace tvis::protocol;

namespace {

InsoleResp message(uint32_t n) {
  InsoleResp msg;
  msg.msg_id = n;
  if (n % 3 == 0) {
    // Texts of up to a few kilobytes, full of bytes that need escaping, so
    // one text outgrows the room made ahead of it.
    std::string text;
    for (uint32_t i = 0; i < n / 3; ++i) text += "a\"\\\n\x01\xC3\xA9";
    msg.device_info = DeviceInfo{2, text, n, "model", text + text, "", "", "AA:BB"};
  } else {
    SensorData& sd = msg.sensor_data.emplace();
    sd.seq_num = n;
    sd.imu_data = ImuData{static_cast<int32_t>(n) * -7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0.25f, 0.0f};
    for (uint32_t i = 0; i < 48; ++i) sd.pressure_data.emplace().pressure.push_back(static_cast<int32_t>(n * i));
  }
  return msg;
}

}  // namespace

TEST(JsonStream, ManyAndLongTextsInOneCallMatchTheirMessagesAlone) {
  std::vector<uint8_t> stream;
  std::vector<std::string> expected;
  for (uint32_t n = 1; n <= 300; ++n) {
    const InsoleResp msg = message(n);
    const auto frame = encode_frame(FrameHeader{}, encode_insole_resp(msg)).value();
    stream.insert(stream.end(), frame.begin(), frame.end());
    ASSERT_TRUE(render_json(msg, expected.emplace_back()).ok());
  }
  JsonStream listed(false, true, kPythonSequenceLog), copied(false, true, kPythonSequenceLog);
  TextList texts;
  texts.append("left from before");  // appended to, never cleared by the stream
  const auto listed_error = listed.push_in_pieces(stream, texts);
  ASSERT_FALSE(listed_error) << *listed_error;
  std::vector<std::string> strings;
  ASSERT_FALSE(copied.push_in_pieces(stream, strings));
  ASSERT_EQ(texts.size(), expected.size() + 1);
  EXPECT_EQ(texts[0], "left from before");
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(texts[i + 1], expected[i]) << "message " << i + 1;
  EXPECT_EQ(strings, expected);
}
