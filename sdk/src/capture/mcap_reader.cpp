#include "capture/mcap_reader.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <map>

#include "util/crc32.h"

namespace tvis::capture {

namespace {

// Bounds-checked little-endian fields of one record body. A read past the end
// leaves ok false and returns zeros, so a parser checks once at the end.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> body) : body_(body) {}

  bool ok() const { return ok_; }
  size_t left() const { return body_.size() - pos_; }

  uint64_t le(size_t n) {
    if (!take(n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t{body_[pos_ - n + i]} << (8 * i);
    return v;
  }
  uint16_t u16() { return static_cast<uint16_t>(le(2)); }
  uint32_t u32() { return static_cast<uint32_t>(le(4)); }
  uint64_t u64() { return le(8); }
  std::span<const uint8_t> bytes(uint64_t n) {
    if (!take(n)) return {};
    return body_.subspan(pos_ - n, n);
  }
  std::string string() {
    auto b = bytes(u32());
    return {b.begin(), b.end()};
  }
  StringMap string_map() {
    StringMap map;
    Cursor pairs(bytes(u32()));
    while (ok_ && pairs.ok() && pairs.left() > 0) {
      std::string key = pairs.string();
      std::string value = pairs.string();
      if (pairs.ok()) map.emplace(std::move(key), std::move(value));
    }
    ok_ = ok_ && pairs.ok();
    return map;
  }
  std::span<const uint8_t> rest() { return bytes(left()); }

 private:
  bool take(uint64_t n) {
    if (!ok_ || n > left()) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  std::span<const uint8_t> body_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class Reader {
 public:
  Reader(std::FILE* in, const ReadHandlers& h) : in_(in), h_(h) {}

  Result<void, std::string> run() {
    uint8_t magic[8];
    if (std::fread(magic, 1, 8, in_) != 8 || std::memcmp(magic, kMagic, 8) != 0)
      return std::string("not a capture file (no MCAP magic at its start)");
    offset_ = 8;
    std::vector<uint8_t> body;
    for (;;) {
      uint8_t prefix[9];
      const size_t got = std::fread(prefix, 1, 9, in_);
      if (got == 0 && !std::ferror(in_)) return cut("");
      if (got < 9) return cut(" inside a record's opening bytes");
      const uint8_t op = prefix[0];
      uint64_t length = 0;
      for (int i = 0; i < 8; ++i) length |= uint64_t{prefix[1 + i]} << (8 * i);
      const uint64_t at = offset_;
      if (length > kMaxRecordBytes) {
        warn("record at byte " + std::to_string(at) + " claims " + std::to_string(length) +
             " bytes, more than any capture holds; reading stops there");
        return {};
      }
      if (!read_body(body, length)) return cut(" inside the record at byte " + std::to_string(at));
      offset_ += 9 + length;
      if (op == kDataEnd || op == kFooter) return {};  // the summary repeats what came before
      record(op, body, at);
    }
  }

 private:
  Result<void, std::string> cut(const std::string& where) {
    warn("capture cut short at byte " + std::to_string(offset_) + where +
         ": everything before it was read, the rest is lost");
    return {};
  }
  // Reads a body in steps, so a length claimed by garbage costs memory only
  // for bytes that are really there.
  bool read_body(std::vector<uint8_t>& body, uint64_t length) {
    body.clear();
    while (body.size() < length) {
      const size_t step = static_cast<size_t>(std::min<uint64_t>(length - body.size(), 1 << 20));
      const size_t from = body.size();
      body.resize(from + step);
      if (std::fread(body.data() + from, 1, step, in_) != step) return false;
    }
    return true;
  }

  void warn(const std::string& text) {
    if (h_.warning) h_.warning(text);
  }

  void record(uint8_t op, std::span<const uint8_t> body, uint64_t at, bool in_chunk = false) {
    Cursor c(body);
    switch (op) {
      case kSchema:
        return;  // no handler takes schemas: keeping them would only grow memory
      case kChannel: {
        Channel ch;
        ch.id = c.u16();
        ch.schema_id = c.u16();
        ch.topic = c.string();
        ch.message_encoding = c.string();
        ch.metadata = c.string_map();
        if (c.ok()) keep(std::move(ch), at);
        break;
      }
      case kMessage: {
        const uint16_t id = c.u16();
        const uint32_t sequence = c.u32();
        const uint64_t log_time = c.u64();
        const uint64_t publish_time = c.u64();
        auto data = c.rest();
        if (!c.ok()) break;
        auto it = channels_.find(id);
        if (refused_[id]) {
          // its channel was refused when it came (reported then)
        } else if (it == channels_.end()) {
          warn("message at byte " + std::to_string(at) + " names channel " + std::to_string(id) +
               ", which the capture never declared; skipped");
        } else if (h_.message) {
          h_.message(Message{it->second, sequence, log_time, publish_time, data});
        }
        return;
      }
      case kChunk:
        // A chunk holds messages (and the records they name), never a chunk:
        // no writer nests them, and following a nest would let a file's depth
        // drive the reader's. The outer chunk's other records still count.
        if (in_chunk) return warn("chunk at byte " + std::to_string(at) + " holds a chunk, which a capture never nests; the inner chunk is skipped");
        chunk(c, at);
        return;
      case kMetadata: {
        std::string name = c.string();
        StringMap map = c.string_map();
        if (c.ok() && h_.metadata) h_.metadata(name, map);
        break;
      }
      default:
        return;  // a record type this reader does not use, or does not know: skipped
    }
    if (!c.ok()) warn("record at byte " + std::to_string(at) + " is malformed; skipped");
  }

  // What a kept channel counts against the budget: its record's length (as
  // the Python reader counts it), plus the bookkeeping around it.
  static uint64_t size_of(const Channel& ch) {
    uint64_t n = 20 + ch.topic.size() + ch.message_encoding.size();
    for (const auto& [k, v] : ch.metadata) n += 8 + k.size() + v.size();
    return n + 128;
  }

  // Channels are kept for the messages that name them, within a budget: a
  // file of ever new (or ever bigger) channel records must not grow memory
  // without end. A channel past the budget is refused, with one warning for
  // the first, and its messages are skipped without a warning each.
  void keep(Channel ch, uint64_t at) {
    const uint64_t size = size_of(ch);
    auto old = channels_.find(ch.id);
    const uint64_t freed = old == channels_.end() ? 0 : size_of(old->second);
    if (kept_bytes_ - freed + size > kMaxChannelBytes) {
      if (refused_.none())
        warn("channel " + std::to_string(ch.id) + " at byte " + std::to_string(at) +
             " would take the channels kept past " + std::to_string(kMaxChannelBytes >> 20) +
             " MiB; it, and every later channel past the bound, is skipped with its messages");
      refused_[ch.id] = true;
      if (old != channels_.end()) {
        kept_bytes_ -= freed;
        channels_.erase(old);
      }
      return;
    }
    kept_bytes_ = kept_bytes_ - freed + size;
    refused_[ch.id] = false;
    auto [it, fresh] = channels_.insert_or_assign(ch.id, std::move(ch));
    if (h_.channel && fresh) h_.channel(it->second);
  }

  void chunk(Cursor& c, uint64_t at) {
    c.u64();  // message start time
    c.u64();  // message end time
    const uint64_t uncompressed_size = c.u64();
    const uint32_t crc = c.u32();
    const std::string compression = c.string();
    auto records = c.bytes(c.u64());
    const std::string where = "chunk at byte " + std::to_string(at);
    if (!c.ok()) return warn(where + " is malformed; skipped");
    if (!compression.empty())
      return warn(where + " is compressed with '" + compression + "', which this reader does not take; skipped");
    if (records.size() != uncompressed_size) return warn(where + " has an inconsistent size; skipped");
    if (crc != 0 && crc32_folded(records.data(), records.size()) != crc) return warn(where + " fails its CRC check; skipped");
    Cursor inner(records);
    while (inner.left() > 0) {
      const uint8_t op = static_cast<uint8_t>(inner.le(1));
      auto body = inner.bytes(inner.u64());
      if (!inner.ok()) return warn(where + " ends inside a record; its last records are skipped");
      record(op, body, at, true);  // damage inside is reported at the chunk's offset
    }
  }

  std::FILE* in_;
  const ReadHandlers& h_;
  uint64_t offset_ = 0;
  std::map<uint16_t, Channel> channels_;
  std::bitset<65536> refused_;
  uint64_t kept_bytes_ = 0;
};

}  // namespace

Result<void, std::string> read_mcap(std::FILE* in, const ReadHandlers& handlers) {
  return Reader(in, handlers).run();
}

}  // namespace tvis::capture
