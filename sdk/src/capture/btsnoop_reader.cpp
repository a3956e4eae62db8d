#include "capture/btsnoop_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace tvis::capture {

namespace {

constexpr uint8_t kH4Acl = 0x02;
constexpr uint8_t kH4Event = 0x04;
constexpr uint8_t kEventDisconnectionComplete = 0x05;
constexpr uint8_t kEventLeMeta = 0x3E;
constexpr uint8_t kLeConnectionComplete = 0x01;
constexpr uint8_t kLeEnhancedConnectionComplete = 0x0A;
constexpr uint16_t kAttCid = 0x0004;
constexpr uint8_t kAttReadByTypeResponse = 0x09;
constexpr uint8_t kAttWriteRequest = 0x12;
constexpr uint8_t kAttNotification = 0x1B;
constexpr uint8_t kAttIndication = 0x1D;
constexpr uint8_t kAttWriteCommand = 0x52;
constexpr uint8_t kPbContinuation = 0b01;

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

// Log time (microseconds since 0 AD) to Unix nanoseconds, saturating: a
// damaged stamp must not overflow.
int64_t unix_ns(int64_t log_us) {
  int64_t us = 0;
  int64_t ns = 0;
  if (__builtin_sub_overflow(log_us, kBtsnoopEpochDeltaUs, &us) || __builtin_mul_overflow(us, int64_t{1000}, &ns))
    return log_us < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return ns;
}

// One L2CAP PDU being put back together from ACL fragments. Only ATT PDUs
// are kept; the bytes of any other channel are counted and let go.
struct Reassembly {
  std::vector<uint8_t> pdu;  // L2CAP header and payload
  uint32_t seen = 0;         // bytes received for this PDU, kept or not
  uint32_t total = 0;        // 4 + the L2CAP length, 0 until the header is in
  bool active = false;
  bool keep = true;

  void reset() {
    pdu.clear();
    seen = total = 0;
    active = false;
    keep = true;
  }
};

struct Connection {
  std::string device;
  std::optional<uint16_t> tx_handle, rx_handle;  // found by discovery
  Reassembly in[2];                              // by direction: 0 sent, 1 received
  uint64_t unmatched = 0;                        // notifications with no known TX handle
};

class Reader {
 public:
  Reader(const SnoopOptions& options, const SnoopHandlers& handlers) : options_(options), handlers_(handlers) {}

  void record(uint64_t at, uint32_t flags, int64_t time_us, std::span<const uint8_t> packet, bool cut) {
    at_ = at;
    time_ns_ = unix_ns(time_us);
    if (packet.empty()) return warn("record at byte " + std::to_string(at) + " is empty; skipped");
    const int direction = flags & 1;
    switch (packet[0]) {
      case kH4Acl:
        return acl(direction, packet.subspan(1), cut);
      case kH4Event:
        if (!cut) event(packet.subspan(1));
        return;
      default:
        return;  // commands and audio carry nothing of the insole's
    }
  }

  void finish() {
    for (auto& [handle, connection] : connections_) close(handle, connection);
  }

  void warn(const std::string& text) {
    if (handlers_.warning) handlers_.warning(text);
  }

 private:
  Connection& connection(uint16_t handle) {
    auto [it, fresh] = connections_.try_emplace(handle);
    if (fresh) it->second.device = "conn-" + hex16(handle);
    return it->second;
  }

  // A connection that ended: what it could not give is said once.
  void close(uint16_t handle, Connection& c) {
    for (auto& r : c.in)
      if (r.active) warn("connection " + hex16(handle) + " ended inside an L2CAP packet; its start was dropped");
    if (c.unmatched > 0 && !options_.tx_handle)
      warn(c.device + ": " + std::to_string(c.unmatched) +
           " notifications, but the log holds no GATT discovery of the insole's characteristic; give its handle");
  }

  void event(std::span<const uint8_t> e) {
    if (e.size() < 2 || e.size() - 2 < e[1]) return warn("event at byte " + std::to_string(at_) + " is cut short");
    const uint8_t* p = e.data() + 2;
    const size_t n = e[1];
    if (e[0] == kEventDisconnectionComplete && n >= 4 && p[0] == 0) {
      const uint16_t handle = le16(p + 1) & 0x0FFF;
      auto it = connections_.find(handle);
      if (it != connections_.end()) {
        close(handle, it->second);
        connections_.erase(it);
      }
    } else if (e[0] == kEventLeMeta && n >= 12 &&
               (p[0] == kLeConnectionComplete || p[0] == kLeEnhancedConnectionComplete) && p[1] == 0) {
      // A new connection on this handle is a new device, even when the
      // handle was used before.
      const uint16_t handle = le16(p + 2) & 0x0FFF;
      auto it = connections_.find(handle);
      if (it != connections_.end()) {
        close(handle, it->second);
        connections_.erase(it);
      }
      char address[18];
      const uint8_t* a = p + 6;  // little-endian on the air
      std::snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
      connection(handle).device = address;
    }
  }

  void acl(int direction, std::span<const uint8_t> a, bool cut) {
    if (a.size() < 4) return warn("ACL packet at byte " + std::to_string(at_) + " is cut short; skipped");
    const uint16_t handle = le16(a.data()) & 0x0FFF;
    const uint8_t boundary = (a[1] >> 4) & 0b11;
    const uint16_t length = le16(a.data() + 2);
    Connection& c = connection(handle);
    Reassembly& r = c.in[direction];
    auto data = a.subspan(4);
    if (cut || data.size() != length) {
      warn("ACL packet at byte " + std::to_string(at_) + " on connection " + hex16(handle) + " holds " +
           std::to_string(data.size()) + " of " + std::to_string(length) + " bytes; its L2CAP packet is dropped");
      r.reset();
      return;
    }
    if (boundary == kPbContinuation) {
      if (!r.active) {
        warn("ACL continuation at byte " + std::to_string(at_) + " on connection " + hex16(handle) +
             " follows no start; dropped");
        return;
      }
    } else {
      if (r.active)
        warn("ACL start at byte " + std::to_string(at_) + " on connection " + hex16(handle) +
             " while an L2CAP packet was incomplete; the incomplete one is dropped");
      r.reset();
      r.active = true;
    }
    feed(handle, c, direction, data);
  }

  void feed(uint16_t handle, Connection& c, int direction, std::span<const uint8_t> data) {
    Reassembly& r = c.in[direction];
    size_t i = 0;
    while (r.total == 0 && i < data.size()) {
      r.pdu.push_back(data[i++]);
      if (r.pdu.size() == 4) {
        const uint16_t length = le16(r.pdu.data());
        r.total = 4u + length;
        r.keep = le16(r.pdu.data() + 2) == kAttCid;
        if (r.keep && length > kMaxAttPdu) {
          warn("ATT packet at byte " + std::to_string(at_) + " on connection " + hex16(handle) + " claims " +
               std::to_string(length) + " bytes, more than ATT allows; skipped");
          r.keep = false;
        }
      }
    }
    r.seen += static_cast<uint32_t>(data.size());
    if (r.total != 0 && r.seen > r.total) {
      warn("ACL fragment at byte " + std::to_string(at_) + " on connection " + hex16(handle) +
           " runs past its L2CAP length; the packet is dropped");
      r.reset();
      return;
    }
    if (r.keep && i < data.size()) r.pdu.insert(r.pdu.end(), data.begin() + static_cast<ptrdiff_t>(i), data.end());
    if (r.total != 0 && r.seen == r.total) {
      if (r.keep) att(handle, c, direction, std::span<const uint8_t>(r.pdu).subspan(4));
      r.reset();
    }
  }

  void att(uint16_t handle, Connection& c, int direction, std::span<const uint8_t> pdu) {
    if (pdu.empty()) return;
    const uint8_t op = pdu[0];
    const bool received = direction == 1;
    if (received && (op == kAttNotification || op == kAttIndication) && pdu.size() >= 3) {
      const auto tx = options_.tx_handle ? options_.tx_handle : c.tx_handle;
      if (!tx) {
        ++c.unmatched;
      } else if (le16(pdu.data() + 1) == *tx) {
        deliver(SnoopPacket::Kind::Notification, handle, c, pdu.subspan(3));
      }
    } else if (!received && (op == kAttWriteRequest || op == kAttWriteCommand) && pdu.size() >= 3) {
      const auto rx = options_.rx_handle ? options_.rx_handle : c.rx_handle;
      if (rx && le16(pdu.data() + 1) == *rx) deliver(SnoopPacket::Kind::Command, handle, c, pdu.subspan(3));
    } else if (received && op == kAttReadByTypeResponse && pdu.size() >= 2) {
      discovered(c, pdu[1], pdu.subspan(2));
    }
  }

  // Characteristic declarations: handle, properties, value handle, UUID (2
  // or 16 bytes, little-endian). Other attribute types answered by Read By
  // Type have other lengths or UUIDs that match nothing.
  void discovered(Connection& c, uint8_t each, std::span<const uint8_t> list) {
    if (each != 2 + 1 + 2 + 16) return;
    for (size_t at = 0; at + each <= list.size(); at += each) {
      Uuid128 uuid;
      for (size_t i = 0; i < 16; ++i) uuid[i] = list[at + 5 + 15 - i];
      const uint16_t value_handle = le16(list.data() + at + 3);
      if (uuid == options_.tx_uuid) c.tx_handle = value_handle;
      if (uuid == options_.rx_uuid) c.rx_handle = value_handle;
    }
  }

  void deliver(SnoopPacket::Kind kind, uint16_t handle, const Connection& c, std::span<const uint8_t> value) {
    if (handlers_.packet) handlers_.packet(SnoopPacket{kind, c.device, handle, time_ns_, at_, value});
  }

  const SnoopOptions& options_;
  const SnoopHandlers& handlers_;
  std::map<uint16_t, Connection> connections_;  // at most 4096: handles have 12 bits
  uint64_t at_ = 0;
  int64_t time_ns_ = 0;
};

size_t read_full(std::FILE* in, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const size_t step = std::fread(out + got, 1, n - got, in);
    if (step == 0) break;
    got += step;
  }
  return got;
}

}  // namespace

std::optional<Uuid128> parse_uuid(std::string_view text) {
  Uuid128 out{};
  size_t n = 0;
  int high = -1;
  for (char ch : text) {
    if (ch == '-') continue;
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      return std::nullopt;
    if (high < 0) {
      high = v;
      continue;
    }
    if (n == out.size()) return std::nullopt;
    out[n++] = static_cast<uint8_t>(high << 4 | v);
    high = -1;
  }
  if (n != out.size() || high >= 0) return std::nullopt;
  return out;
}

Result<void, std::string> read_btsnoop(std::FILE* in, const SnoopOptions& options, const SnoopHandlers& handlers) {
  uint8_t head[16];
  if (read_full(in, head, sizeof head) != sizeof head || std::memcmp(head, kBtsnoopMagic, 8) != 0)
    return std::string("not a btsnoop log (no btsnoop magic at its start)");
  if (be32(head + 8) != kBtsnoopVersion)
    return "btsnoop version " + std::to_string(be32(head + 8)) + " is not supported (only version 1)";
  if (be32(head + 12) != kBtsnoopDatalinkH4)
    return "btsnoop datalink " + std::to_string(be32(head + 12)) + " is not supported (only 1002, HCI UART)";

  Reader reader(options, handlers);
  // Grows to the largest record read, at most kBtsnoopMaxRecord.
  std::vector<uint8_t> packet;
  uint64_t at = sizeof head;
  uint32_t drops = 0;
  for (;;) {
    uint8_t h[24];
    const size_t got = read_full(in, h, sizeof h);
    if (got == 0) break;
    if (got < sizeof h) {
      reader.warn("log cut short at byte " + std::to_string(at) +
                  " inside a record header; everything before it was read");
      break;
    }
    const uint32_t original = be32(h), included = be32(h + 4), flags = be32(h + 8), dropped = be32(h + 12);
    const auto time_us = static_cast<int64_t>(uint64_t{be32(h + 16)} << 32 | be32(h + 20));
    if (included > kBtsnoopMaxRecord) {
      // No sync marker follows a record: past a false length nothing can be
      // trusted, and reading it would only grow memory on garbage.
      reader.warn("record at byte " + std::to_string(at) + " claims " + std::to_string(included) +
                  " bytes; reading stops there");
      break;
    }
    if (packet.size() < included) packet.resize(included);
    if (read_full(in, packet.data(), included) != included) {
      reader.warn("log cut short at byte " + std::to_string(at) + " inside a record; everything before it was read");
      break;
    }
    if (dropped > drops)
      reader.warn("the phone dropped " + std::to_string(dropped - drops) + " packets before the record at byte " +
                  std::to_string(at));
    drops = dropped;
    reader.record(at, flags, time_us, {packet.data(), included}, included < original);
    at += sizeof h + included;
  }
  if (std::ferror(in)) reader.warn("read error at byte " + std::to_string(at) + "; everything before it was read");
  reader.finish();
  return {};
}

}  // namespace tvis::capture
