#include "capture/btsnoop_writer.h"

#include <algorithm>

namespace tvis::capture {

namespace {

constexpr uint32_t kFlagReceived = 1;
constexpr uint32_t kFlagCommandOrEvent = 2;
constexpr uint8_t kAttExchangeMtuRequest = 0x02;
constexpr uint8_t kAttExchangeMtuResponse = 0x03;
constexpr uint8_t kAttReadByTypeRequest = 0x08;
constexpr uint8_t kAttReadByTypeResponse = 0x09;
constexpr uint8_t kAttNotification = 0x1B;
constexpr uint8_t kAttWriteCommand = 0x52;
constexpr uint16_t kAttMtu = 517;
constexpr uint16_t kCharacteristicDeclaration = 0x2803;
constexpr uint8_t kPropertyWriteNoResponse = 0x04, kPropertyWrite = 0x08, kPropertyNotify = 0x10;

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void put_le16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// "AA:BB:CC:DD:EE:FF" to its six bytes in air order (least significant
// first); false when the text is not an address.
bool parse_address(const std::string& text, uint8_t out[6]) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 6; ++i) {
    unsigned v = 0;
    for (size_t j = 0; j < 2; ++j) {
      const char ch = text[i * 3 + j];
      const int d = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
      if (d < 0) return false;
      v = v << 4 | static_cast<unsigned>(d);
    }
    if (i < 5 && text[i * 3 + 2] != ':') return false;
    out[5 - i] = static_cast<uint8_t>(v);
  }
  return true;
}

void characteristic(std::vector<uint8_t>& out, uint16_t value_handle, uint8_t properties, const Uuid128& uuid) {
  put_le16(out, static_cast<uint16_t>(value_handle - 1));
  out.push_back(properties);
  put_le16(out, value_handle);
  for (size_t i = 0; i < 16; ++i) out.push_back(uuid[15 - i]);  // little-endian on the air
}

}  // namespace

BtsnoopWriter::BtsnoopWriter(ByteSink& sink, SnoopWriterOptions options) : sink_(sink), options_(options) {
  options_.acl_mtu = std::max<uint16_t>(options_.acl_mtu, 27);  // the smallest LE ACL buffer
  std::vector<uint8_t> head(kBtsnoopMagic, kBtsnoopMagic + 8);
  put_be32(head, kBtsnoopVersion);
  put_be32(head, kBtsnoopDatalinkH4);
  ok_ = sink_.write(head);
}

void BtsnoopWriter::record(uint32_t flags, int64_t unix_time_ns, std::span<const uint8_t> packet) {
  if (!ok_) return;
  std::vector<uint8_t> head;
  head.reserve(24);
  put_be32(head, static_cast<uint32_t>(packet.size()));
  put_be32(head, static_cast<uint32_t>(packet.size()));
  put_be32(head, flags);
  put_be32(head, 0);  // no drops
  const auto stamp = static_cast<uint64_t>(unix_time_ns / 1000 + kBtsnoopEpochDeltaUs);
  put_be32(head, static_cast<uint32_t>(stamp >> 32));
  put_be32(head, static_cast<uint32_t>(stamp));
  ok_ = sink_.write(head) && sink_.write(packet);
}

uint16_t BtsnoopWriter::add_device(const std::string& device_id, int64_t unix_time_ns) {
  const uint16_t connection = next_connection_;
  next_connection_ = static_cast<uint16_t>(next_connection_ == 0x0EFF ? 0x0040 : next_connection_ + 1);

  uint8_t address[6];
  uint8_t address_type = 0;  // public
  if (!parse_address(device_id, address)) {
    // A random static address made from the id (FNV-1a), the same each time.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : device_id) h = (h ^ ch) * 1099511628211ull;
    for (auto& b : address) b = static_cast<uint8_t>(h >>= 8);
    address[5] |= 0xC0;
    address_type = 1;
  }
  // LE Connection Complete: we are central, 30 ms interval, 4 s timeout.
  std::vector<uint8_t> e = {0x04, 0x3E, 19, 0x01, 0x00};
  put_le16(e, connection);
  e.push_back(0x00);
  e.push_back(address_type);
  e.insert(e.end(), address, address + 6);
  put_le16(e, 24);
  put_le16(e, 0);
  put_le16(e, 400);
  e.push_back(0x00);
  record(kFlagReceived | kFlagCommandOrEvent, unix_time_ns, e);

  std::vector<uint8_t> att = {kAttExchangeMtuRequest};
  put_le16(att, kAttMtu);
  l2cap(connection, false, unix_time_ns, att);
  att[0] = kAttExchangeMtuResponse;
  l2cap(connection, true, unix_time_ns, att);

  att = {kAttReadByTypeRequest};
  put_le16(att, 0x0001);
  put_le16(att, 0xFFFF);
  put_le16(att, kCharacteristicDeclaration);
  l2cap(connection, false, unix_time_ns, att);
  att = {kAttReadByTypeResponse, 2 + 1 + 2 + 16};
  characteristic(att, kSnoopTxHandle, kPropertyNotify, options_.tx_uuid);
  characteristic(att, kSnoopRxHandle, kPropertyWrite | kPropertyWriteNoResponse, options_.rx_uuid);
  l2cap(connection, true, unix_time_ns, att);
  return connection;
}

void BtsnoopWriter::write_notification(uint16_t connection, int64_t unix_time_ns, std::span<const uint8_t> value) {
  att_value(connection, true, kAttNotification, kSnoopTxHandle, unix_time_ns, value);
}

void BtsnoopWriter::write_command(uint16_t connection, int64_t unix_time_ns, std::span<const uint8_t> value) {
  att_value(connection, false, kAttWriteCommand, kSnoopRxHandle, unix_time_ns, value);
}

void BtsnoopWriter::att_value(uint16_t connection, bool received, uint8_t opcode, uint16_t handle, int64_t unix_time_ns,
                              std::span<const uint8_t> value) {
  do {
    const size_t n = std::min(value.size(), kSnoopMaxValue);
    std::vector<uint8_t> att = {opcode};
    put_le16(att, handle);
    att.insert(att.end(), value.begin(), value.begin() + static_cast<ptrdiff_t>(n));
    l2cap(connection, received, unix_time_ns, att);
    value = value.subspan(n);
  } while (!value.empty());
}

// One L2CAP packet on the ATT channel, cut into ACL fragments: the first
// marked as a start (0b10 from the controller, 0b00 from the host), the
// rest as continuations.
void BtsnoopWriter::l2cap(uint16_t connection, bool received, int64_t unix_time_ns, std::span<const uint8_t> att) {
  std::vector<uint8_t>& pdu = scratch_;
  pdu.clear();
  put_le16(pdu, static_cast<uint16_t>(att.size()));
  put_le16(pdu, 0x0004);
  pdu.insert(pdu.end(), att.begin(), att.end());
  std::vector<uint8_t> acl;
  for (size_t at = 0; at < pdu.size(); at += options_.acl_mtu) {
    const size_t n = std::min<size_t>(options_.acl_mtu, pdu.size() - at);
    const uint16_t boundary = at > 0 ? 0b01 : received ? 0b10 : 0b00;
    acl = {0x02};
    put_le16(acl, static_cast<uint16_t>(connection | boundary << 12));
    put_le16(acl, static_cast<uint16_t>(n));
    acl.insert(acl.end(), pdu.begin() + static_cast<ptrdiff_t>(at), pdu.begin() + static_cast<ptrdiff_t>(at + n));
    record(received ? kFlagReceived : 0, unix_time_ns, acl);
  }
}

}  // namespace tvis::capture
