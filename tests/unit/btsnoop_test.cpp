// Phone Bluetooth logs: the insole's traffic comes out of logs built here by
// hand (fragments, interleaved connections, discovery or none), what our
// writer writes reads back, and damage costs no more than the damaged part.
// The check against an independent dissector is in tests/capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/btsnoop_reader.h"
#include "capture/btsnoop_writer.h"
#include "protocol/ble_identifiers.h"

namespace tvis::capture {
namespace {

using Bytes = std::vector<uint8_t>;

class MemorySink : public ByteSink {
 public:
  bool write(std::span<const uint8_t> b) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return true;
  }
  Bytes bytes;
};

SnoopOptions insole_options() {
  SnoopOptions o;
  o.tx_uuid = *parse_uuid(protocol::INSOLE_TX_UUID);
  o.rx_uuid = *parse_uuid(protocol::INSOLE_RX_UUID);
  return o;
}

struct Read {
  std::vector<std::string> packets;  // "n|c device time_us hex"
  std::vector<std::string> warnings;
  std::optional<std::string> error;
};

Read read_bytes(const Bytes& bytes, const SnoopOptions& options = insole_options()) {
  Read r;
  std::FILE* f = bytes.empty() ? std::tmpfile() : fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
  SnoopHandlers h;
  h.packet = [&](const SnoopPacket& p) {
    std::string hex;
    char two[3];
    for (uint8_t b : p.value) {
      std::snprintf(two, sizeof two, "%02x", b);
      hex += two;
    }
    r.packets.push_back(std::string(p.kind == SnoopPacket::Kind::Notification ? "n " : "c ") + p.device + " " +
                        std::to_string(p.unix_time_ns / 1000) + " " + hex);
  };
  h.warning = [&](const std::string& w) { r.warnings.push_back(w); };
  if (auto read = read_btsnoop(f, options, h); !read) r.error = std::move(read).error();
  std::fclose(f);
  return r;
}

// A log put together byte by byte, apart from our writer.
struct Log {
  Bytes bytes = {'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0, 0, 0, 1, 0, 0, 0x03, 0xEA};
  uint64_t time_us = 0x00dcddb30f2f8000ull + 1'000'000;  // one second after 1970

  void be32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<uint8_t>(v >> s));
  }
  void record(uint32_t flags, const Bytes& packet) {
    be32(static_cast<uint32_t>(packet.size()));
    be32(static_cast<uint32_t>(packet.size()));
    be32(flags);
    be32(0);
    be32(static_cast<uint32_t>(time_us >> 32));
    be32(static_cast<uint32_t>(time_us));
    bytes.insert(bytes.end(), packet.begin(), packet.end());
    time_us += 1;
  }
  // flags: 1 received (controller to host), 0 sent.
  void acl(uint16_t handle, uint8_t boundary, bool received, const Bytes& data) {
    Bytes p = {0x02, static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8 | boundary << 4),
               static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)};
    p.insert(p.end(), data.begin(), data.end());
    record(received ? 1 : 0, p);
  }
  static Bytes l2cap(const Bytes& att, uint16_t cid = 4) {
    Bytes p(4 + att.size());
    p[0] = static_cast<uint8_t>(att.size());
    p[1] = static_cast<uint8_t>(att.size() >> 8);
    p[2] = static_cast<uint8_t>(cid);
    std::copy(att.begin(), att.end(), p.begin() + 4);
    return p;
  }
  void connected(uint16_t handle, const Bytes& address_on_air) {
    Bytes e = {0x04, 0x3E, 19, 0x01, 0x00, static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8), 0x00, 0x00};
    e.insert(e.end(), address_on_air.begin(), address_on_air.end());
    e.insert(e.end(), {24, 0, 0, 0, 0x90, 0x01, 0});
    record(3, e);
  }
  void disconnected(uint16_t handle) {
    record(3, {0x04, 0x05, 4, 0x00, static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8), 0x13});
  }
  // A Read By Type answer with the TX characteristic at tx and RX at rx,
  // plus a 16-bit one (the battery level) that must match nothing.
  void discovery(uint16_t handle, uint16_t tx, uint16_t rx) {
    Bytes att = {0x09, 21};
    auto add = [&](uint16_t value, const char* uuid_text) {
      auto uuid = *parse_uuid(uuid_text);
      att.insert(att.end(), {static_cast<uint8_t>(value - 1), 0, 0x10, static_cast<uint8_t>(value), 0});
      for (int i = 15; i >= 0; --i) att.push_back(uuid[static_cast<size_t>(i)]);
    };
    add(tx, protocol::INSOLE_TX_UUID);
    add(rx, protocol::INSOLE_RX_UUID);
    acl(handle, 0b10, true, l2cap(att));
    acl(handle, 0b10, true, l2cap({0x09, 7, 0x20, 0, 0x12, 0x21, 0, 0x19, 0x2A}));
  }
};

TEST(Btsnoop, FragmentsOfInterleavedConnectionsComeBackPerDevice) {
  Log log;
  log.connected(0x0040, {0x01, 0x00, 0x00, 0xCC, 0xBB, 0xAA});
  log.discovery(0x0040, 0x0012, 0x0015);
  log.discovery(0x0041, 0x0020, 0x0023);  // no connection event: named by its handle
  // A notification of 300 value bytes on each connection, cut in three
  // fragments, the fragments of the two connections interleaved.
  Bytes a = Log::l2cap([] {
    Bytes att = {0x1B, 0x12, 0x00};
    for (int i = 0; i < 300; ++i) att.push_back(static_cast<uint8_t>(i));
    return att;
  }());
  Bytes b = Log::l2cap({0x1D, 0x20, 0x00, 0xBE, 0xEF});          // an indication, in two fragments
  log.acl(0x0040, 0b10, true, Bytes(a.begin(), a.begin() + 2));  // the L2CAP header itself is split
  log.acl(0x0041, 0b10, true, Bytes(b.begin(), b.begin() + 6));
  log.acl(0x0040, 0b01, true, Bytes(a.begin() + 2, a.begin() + 200));
  log.acl(0x0041, 0b01, true, Bytes(b.begin() + 6, b.end()));
  log.acl(0x0040, 0b01, true, Bytes(a.begin() + 200, a.end()));
  // Writes from the host: a Write Command and a Write Request to RX, a
  // write to the notification's configuration (not RX) that is not taken.
  log.acl(0x0040, 0b00, false, Log::l2cap({0x52, 0x15, 0x00, 0x01, 0x02}));
  log.acl(0x0041, 0b00, false, Log::l2cap({0x12, 0x23, 0x00, 0x03}));
  log.acl(0x0040, 0b00, false, Log::l2cap({0x12, 0x13, 0x00, 0x01, 0x00}));
  // Notifications on another handle, on another channel, or sent by the host are not the insole's.
  log.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x22, 0x00, 0x55}));
  log.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x12, 0x00, 0x66}, 0x0005));
  log.acl(0x0040, 0b00, false, Log::l2cap({0x1B, 0x12, 0x00, 0x77}));

  const Read r = read_bytes(log.bytes);
  ASSERT_FALSE(r.error);
  EXPECT_TRUE(r.warnings.empty()) << r.warnings[0];
  ASSERT_EQ(r.packets.size(), 4u);
  EXPECT_EQ(r.packets[0], "n conn-0x0041 1000008 beef");
  std::string expected = "n AA:BB:CC:00:00:01 1000009 ";
  char two[3];
  for (int i = 0; i < 300; ++i) {
    std::snprintf(two, sizeof two, "%02x", i & 0xFF);
    expected += two;
  }
  EXPECT_EQ(r.packets[1], expected);
  EXPECT_EQ(r.packets[2], "c AA:BB:CC:00:00:01 1000010 0102");
  EXPECT_EQ(r.packets[3], "c conn-0x0041 1000011 03");
}

TEST(Btsnoop, WithoutDiscoveryTheHandleComesFromTheCallerAndAReusedHandleIsANewDevice) {
  Log log;
  log.connected(0x0040, {1, 0, 0, 0, 0, 0xC0});
  log.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x12, 0x00, 0x01}));
  log.disconnected(0x0040);
  log.connected(0x0040, {2, 0, 0, 0, 0, 0xC0});
  log.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x12, 0x00, 0x02}));

  // Without discovery nothing is guessed, and each device says why.
  Read r = read_bytes(log.bytes);
  EXPECT_TRUE(r.packets.empty());
  ASSERT_EQ(r.warnings.size(), 2u);
  EXPECT_NE(r.warnings[0].find("C0:00:00:00:00:01: 1 notifications, but the log holds no GATT discovery"),
            std::string::npos)
      << r.warnings[0];

  SnoopOptions given = insole_options();
  given.tx_handle = 0x0012;
  r = read_bytes(log.bytes, given);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(r.packets, (std::vector<std::string>{"n C0:00:00:00:00:01 1000001 01", "n C0:00:00:00:00:02 1000004 02"}));

  // A handle given wins over the discovery.
  Log found;
  found.discovery(0x0040, 0x0012, 0x0015);
  found.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x12, 0x00, 0x01}));
  found.acl(0x0040, 0b10, true, Log::l2cap({0x1B, 0x30, 0x00, 0x02}));
  given.tx_handle = 0x0030;
  r = read_bytes(found.bytes, given);
  EXPECT_EQ(r.packets, (std::vector<std::string>{"n conn-0x0040 1000003 02"}));
}

// Two insoles through our writer, notifications larger than an ACL buffer
// and larger than ATT allows, and commands between them.
Bytes written(std::vector<std::string>* expected) {
  MemorySink sink;
  SnoopWriterOptions options;
  options.tx_uuid = *parse_uuid(protocol::INSOLE_TX_UUID);
  options.rx_uuid = *parse_uuid(protocol::INSOLE_RX_UUID);
  BtsnoopWriter w(sink, options);
  const int64_t t0 = 1'700'000'000'000'000'000;
  const uint16_t left = w.add_device("AA:BB:CC:00:00:01", t0);
  const uint16_t right = w.add_device("right", t0);
  EXPECT_NE(left, right);
  auto hex = [](const Bytes& b) {
    std::string s;
    char two[3];
    for (uint8_t x : b) {
      std::snprintf(two, sizeof two, "%02x", x);
      s += two;
    }
    return s;
  };
  Bytes big(700);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  const std::string t = std::to_string(t0 / 1000 + 20'000);
  w.write_notification(left, t0 + 20'000'000, {big.data(), 300});
  w.write_notification(right, t0 + 20'000'000, {big.data() + 1, 5});
  w.write_command(left, t0 + 20'000'000, {big.data() + 2, 3});
  w.write_notification(right, t0 + 20'000'000, big);
  EXPECT_TRUE(w.flush());
  // The right insole's id is no address: it is given a random static one.
  Read names = read_bytes(sink.bytes);
  const std::string right_name = names.packets.size() > 1 ? names.packets[1].substr(2, 17) : "";
  EXPECT_EQ(right_name.size(), 17u);
  EXPECT_TRUE(right_name[0] >= 'C');
  *expected = {"n AA:BB:CC:00:00:01 " + t + " " + hex(Bytes(big.begin(), big.begin() + 300)),
               "n " + right_name + " " + t + " " + hex(Bytes(big.begin() + 1, big.begin() + 6)),
               "c AA:BB:CC:00:00:01 " + t + " " + hex(Bytes(big.begin() + 2, big.begin() + 5)),
               "n " + right_name + " " + t + " " + hex(Bytes(big.begin(), big.begin() + 512)),
               "n " + right_name + " " + t + " " + hex(Bytes(big.begin() + 512, big.end()))};
  return sink.bytes;
}

TEST(Btsnoop, WhatTheWriterWritesReadsBackAndACutLogGivesWhatCameBeforeTheCut) {
  std::vector<std::string> expected;
  const Bytes full = written(&expected);
  std::vector<bool> boundary(full.size() + 1);
  for (size_t at = 16; at < full.size();
       at += 24 + (size_t{full[at + 4]} << 24 | size_t{full[at + 5]} << 16 | size_t{full[at + 6]} << 8 | full[at + 7]))
    boundary[at] = true;
  const Read whole = read_bytes(full);
  EXPECT_TRUE(whole.warnings.empty());
  EXPECT_EQ(whole.packets, expected);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    const Read r = read_bytes(Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)));
    if (cut < 16) {
      EXPECT_TRUE(r.error) << cut;
      continue;
    }
    ASSERT_FALSE(r.error) << cut;
    ASSERT_LE(r.packets.size(), expected.size());
    for (size_t i = 0; i < r.packets.size(); ++i) EXPECT_EQ(r.packets[i], expected[i]) << cut;
    // Cut inside a record: said, with the record's offset.
    if (!boundary[cut] && r.warnings.empty()) ADD_FAILURE() << "silent cut at " << cut;
  }
}

TEST(Btsnoop, DamageIsAWarningWithItsOffset) {
  Log log;
  log.discovery(0x0040, 0x0012, 0x0015);
  const Bytes att = Log::l2cap({0x1B, 0x12, 0x00, 1, 2, 3, 4});
  const size_t stray = log.bytes.size();
  log.acl(0x0040, 0b01, true, Bytes(att.begin(), att.begin() + 3));  // continuation with no start
  log.acl(0x0040, 0b10, true, Bytes(att.begin(), att.begin() + 5));
  log.acl(0x0040, 0b10, true, att);  // start while one is open: the first is lost, this one read
  log.acl(0x0040, 0b10, true, Bytes(att.begin(), att.begin() + 5));
  log.acl(0x0040, 0b01, true, Bytes(att.begin() + 5, att.end()));
  log.acl(0x0040, 0b10, true, Bytes(att.begin(), att.begin() + 5));
  Bytes over(att.begin() + 5, att.end());
  over.push_back(0);
  log.acl(0x0040, 0b01, true, over);                           // runs past the L2CAP length
  log.acl(0x0040, 0b10, true, Log::l2cap(Bytes(2000, 0x1B)));  // larger than ATT allows
  log.record(1, {0x02, 0x40, 0x20, 0x09, 0x00, 0x01});         // ACL length says more than the record holds
  log.record(1, {});
  const Read r = read_bytes(log.bytes);
  EXPECT_EQ(r.packets, (std::vector<std::string>{"n conn-0x0040 1000004 01020304", "n conn-0x0040 1000006 01020304"}));
  ASSERT_EQ(r.warnings.size(), 6u);
  EXPECT_EQ(r.warnings[0],
            "ACL continuation at byte " + std::to_string(stray) + " on connection 0x0040 follows no start; dropped");
  for (const auto& w : r.warnings) EXPECT_NE(w.find(" at byte "), std::string::npos) << w;

  // A length no HCI packet can have stops the reading, and says where.
  Log huge;
  huge.discovery(0x0040, 0x0012, 0x0015);
  const size_t at = huge.bytes.size();
  huge.acl(0x0040, 0b10, true, att);
  huge.bytes[at + 4] = 0x7F;  // included length
  const Read h = read_bytes(huge.bytes);
  EXPECT_TRUE(h.packets.empty());
  ASSERT_EQ(h.warnings.size(), 1u);
  EXPECT_EQ(h.warnings[0], "record at byte " + std::to_string(at) + " claims " +
                               std::to_string(0x7F000000 + att.size() + 5) + " bytes; reading stops there");
}

// Garbage after a good header is the fuzz target's (tests/fuzz).
TEST(Btsnoop, ForeignFilesAreRefused) {
  EXPECT_EQ(read_bytes({}).error, "not a btsnoop log (no btsnoop magic at its start)");
  Log log;
  log.bytes[11] = 2;
  EXPECT_EQ(read_bytes(log.bytes).error, "btsnoop version 2 is not supported (only version 1)");
  log.bytes[11] = 1;
  log.bytes[15] = 0xE9;
  EXPECT_EQ(read_bytes(log.bytes).error, "btsnoop datalink 1001 is not supported (only 1002, HCI UART)");
}

}  // namespace
}  // namespace tvis::capture
