// Writes captures in the MCAP container, an open format for timestamped
// multi-channel messages that common robotics and plotting tools read.
//
// Two shapes of the same format:
// - a file: messages go into chunks, each closed and flushed after one second
//   of log time (or at 1 MiB, or when poll() finds it a second old), then a
//   summary with indexes. A writer killed at any byte loses at most the open
//   chunk; readers take the rest.
// - a live feed: no chunks and no summary; every message is flushed as it
//   comes, so a reader on the other end of a pipe or socket sees it at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/mcap_records.h"

namespace tvis::capture {

// Where the bytes go. write() returns false on failure; the writer then stops.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(std::span<const uint8_t> bytes) = 0;
  virtual bool flush() { return true; }
};

// A sink over a stdio stream the caller owns.
class FileSink : public ByteSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool write(std::span<const uint8_t> bytes) override {
    return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
  }
  bool flush() override { return std::fflush(file_) == 0; }

 private:
  std::FILE* file_;
};

struct WriterOptions {
  bool live = false;  // a live feed: no chunks, no summary, a flush per message
  uint64_t chunk_max_bytes = 1 << 20;
  uint64_t chunk_max_age_ns = 1'000'000'000;
  std::string profile;
  std::string library = "trova_insole_sdk";
};

class McapWriter {
 public:
  McapWriter(ByteSink& sink, WriterOptions options);
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  // Ids start at 1 (schema id 0 means "no schema"). A capture holds at most
  // kMaxIds schemas and kMaxIds channels: past that, add_* write nothing and
  // return 0, and write_message drops messages for channel 0.
  static constexpr size_t kMaxIds = 65535;
  uint16_t add_schema(std::string_view name, std::string_view encoding, std::span<const uint8_t> data);
  uint16_t add_channel(uint16_t schema_id, std::string_view topic, std::string_view message_encoding,
                       const StringMap& metadata);
  void add_metadata(std::string_view name, const StringMap& metadata);

  void write_message(uint16_t channel_id, uint64_t log_time_ns, uint64_t publish_time_ns,
                     std::span<const uint8_t> data);
  // Closes the open chunk when it is older than the age bound at now_ns:
  // a recorder calls this while no message arrives.
  void poll(uint64_t now_ns);
  // Closes the open chunk, writes the summary (files) and the end magic.
  // Returns false if any write failed since the start.
  bool close();

  bool ok() const { return ok_; }
  uint64_t message_count() const { return message_count_; }

 private:
  struct ChannelInfo {
    uint16_t schema_id;
    std::string topic, encoding;
    StringMap metadata;
    uint32_t next_sequence = 0;
  };
  struct SchemaInfo {
    std::string name, encoding;
    std::vector<uint8_t> data;
  };

  void emit(const std::vector<uint8_t>& bytes);
  void append_schema(std::vector<uint8_t>& out, uint16_t id) const;
  void append_channel(std::vector<uint8_t>& out, uint16_t id) const;
  void close_chunk();
  void write_summary();

  ByteSink& sink_;
  WriterOptions options_;
  bool ok_ = true;
  bool closed_ = false;
  uint64_t offset_ = 0;  // bytes handed to the sink

  std::map<uint16_t, SchemaInfo> schemas_;
  std::map<uint16_t, ChannelInfo> channels_;
  std::vector<std::pair<uint64_t, uint64_t>> metadata_index_;  // offset, length
  std::vector<std::string> metadata_names_;

  // The open chunk: its records, and per channel (log time, offset) pairs.
  std::vector<uint8_t> chunk_;
  std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunk_index_;
  uint64_t chunk_start_ns_ = 0, chunk_end_ns_ = 0;
  std::vector<uint8_t> chunk_indexes_;  // ChunkIndex records for the summary
  uint32_t chunk_count_ = 0;

  uint64_t message_count_ = 0;
  uint64_t first_time_ns_ = 0, last_time_ns_ = 0;
  std::map<uint16_t, uint64_t> per_channel_;
  std::vector<uint8_t> scratch_;
};

}  // namespace tvis::capture
