#include "capture/mcap_writer.h"

#include <algorithm>
#include <tuple>

#include "util/crc32.h"

namespace tvis::capture {

McapWriter::McapWriter(ByteSink& sink, WriterOptions options) : sink_(sink), options_(std::move(options)) {
  std::vector<uint8_t> out(std::begin(kMagic), std::end(kMagic));
  const size_t at = open_record(out, kHeader);
  FieldWriter w(out);
  w.string(options_.profile);
  w.string(options_.library);
  close_record(out, at);
  emit(out);
  if (!sink_.flush()) ok_ = false;
}

void McapWriter::emit(const std::vector<uint8_t>& bytes) {
  if (!ok_ || bytes.empty()) return;
  if (!sink_.write(bytes)) ok_ = false;
  offset_ += bytes.size();
}

void McapWriter::append_schema(std::vector<uint8_t>& out, uint16_t id) const {
  const SchemaInfo& s = schemas_.at(id);
  const size_t at = open_record(out, kSchema);
  FieldWriter w(out);
  w.u16(id);
  w.string(s.name);
  w.string(s.encoding);
  w.byte_array(s.data);
  close_record(out, at);
}

void McapWriter::append_channel(std::vector<uint8_t>& out, uint16_t id) const {
  const ChannelInfo& c = channels_.at(id);
  const size_t at = open_record(out, kChannel);
  FieldWriter w(out);
  w.u16(id);
  w.u16(c.schema_id);
  w.string(c.topic);
  w.string(c.encoding);
  w.string_map(c.metadata);
  close_record(out, at);
}

// Schemas, channels and metadata go in the data section outside chunks, as
// they are added: a reader of a cut file, or of a live feed, has them before
// the first message that needs them.
uint16_t McapWriter::add_schema(std::string_view name, std::string_view encoding, std::span<const uint8_t> data) {
  if (schemas_.size() >= kMaxIds) return 0;
  const auto id = static_cast<uint16_t>(schemas_.size() + 1);
  schemas_[id] = SchemaInfo{std::string(name), std::string(encoding), {data.begin(), data.end()}};
  std::vector<uint8_t> out;
  append_schema(out, id);
  emit(out);
  return id;
}

uint16_t McapWriter::add_channel(uint16_t schema_id, std::string_view topic, std::string_view message_encoding,
                                 const StringMap& metadata) {
  // Ids are 16 bits: one more would wrap onto a channel in use and credit
  // its messages to another insole. The caller is told with id 0.
  if (channels_.size() >= kMaxIds) return 0;
  const auto id = static_cast<uint16_t>(channels_.size() + 1);
  channels_[id] = ChannelInfo{schema_id, std::string(topic), std::string(message_encoding), metadata};
  std::vector<uint8_t> out;
  append_channel(out, id);
  emit(out);
  if (options_.live && !sink_.flush()) ok_ = false;
  return id;
}

void McapWriter::add_metadata(std::string_view name, const StringMap& metadata) {
  std::vector<uint8_t> out;
  const size_t at = open_record(out, kMetadata);
  FieldWriter w(out);
  w.string(name);
  w.string_map(metadata);
  close_record(out, at);
  metadata_index_.emplace_back(offset_, out.size());
  metadata_names_.emplace_back(name);
  emit(out);
  if (options_.live && !sink_.flush()) ok_ = false;
}

void McapWriter::write_message(uint16_t channel_id, uint64_t log_time_ns, uint64_t publish_time_ns,
                               std::span<const uint8_t> data) {
  auto channel = channels_.find(channel_id);
  if (channel == channels_.end() || closed_) return;
  if (message_count_ == 0 || log_time_ns < first_time_ns_) first_time_ns_ = log_time_ns;
  if (message_count_ == 0 || log_time_ns > last_time_ns_) last_time_ns_ = log_time_ns;
  ++message_count_;
  ++per_channel_[channel_id];

  std::vector<uint8_t>& out = options_.live ? scratch_ : chunk_;
  if (options_.live) out.clear();
  if (!options_.live) {
    if (chunk_.empty()) chunk_start_ns_ = chunk_end_ns_ = log_time_ns;
    chunk_start_ns_ = std::min(chunk_start_ns_, log_time_ns);
    chunk_end_ns_ = std::max(chunk_end_ns_, log_time_ns);
    chunk_index_[channel_id].emplace_back(log_time_ns, chunk_.size());
  }
  const size_t at = open_record(out, kMessage);
  FieldWriter w(out);
  w.u16(channel_id);
  w.u32(channel->second.next_sequence++);
  w.u64(log_time_ns);
  w.u64(publish_time_ns);
  w.bytes(data);
  close_record(out, at);

  if (options_.live) {
    emit(out);
    if (!sink_.flush()) ok_ = false;
  } else if (chunk_.size() >= options_.chunk_max_bytes || log_time_ns - chunk_start_ns_ >= options_.chunk_max_age_ns) {
    close_chunk();
  }
}

void McapWriter::poll(uint64_t now_ns) {
  if (!chunk_.empty() && now_ns - chunk_start_ns_ >= options_.chunk_max_age_ns) close_chunk();
}

void McapWriter::close_chunk() {
  if (chunk_.empty()) return;
  std::vector<uint8_t> out;
  const uint64_t chunk_start = offset_;
  const size_t at = open_record(out, kChunk);
  FieldWriter w(out);
  w.u64(chunk_start_ns_);
  w.u64(chunk_end_ns_);
  w.u64(chunk_.size());
  w.u32(crc32_folded(chunk_.data(), chunk_.size()));
  w.string("");
  w.u64(chunk_.size());
  w.bytes(chunk_);
  close_record(out, at);
  const uint64_t chunk_length = out.size();

  // The message indexes follow their chunk; the chunk index in the summary
  // points at both.
  std::map<uint16_t, uint64_t> index_offsets;
  const size_t indexes_begin = out.size();
  for (const auto& [channel, entries] : chunk_index_) {
    index_offsets[channel] = chunk_start + out.size();
    const size_t rec = open_record(out, kMessageIndex);
    FieldWriter iw(out);
    iw.u16(channel);
    iw.u32(static_cast<uint32_t>(entries.size() * 16));
    for (const auto& [time, position] : entries) {
      iw.u64(time);
      iw.u64(position);
    }
    close_record(out, rec);
  }
  const uint64_t indexes_length = out.size() - indexes_begin;

  const size_t ci = open_record(chunk_indexes_, kChunkIndex);
  FieldWriter cw(chunk_indexes_);
  cw.u64(chunk_start_ns_);
  cw.u64(chunk_end_ns_);
  cw.u64(chunk_start);
  cw.u64(chunk_length);
  cw.u32(static_cast<uint32_t>(index_offsets.size() * 10));
  for (const auto& [channel, position] : index_offsets) {
    cw.u16(channel);
    cw.u64(position);
  }
  cw.u64(indexes_length);
  cw.string("");
  cw.u64(chunk_.size());
  cw.u64(chunk_.size());
  close_record(chunk_indexes_, ci);

  emit(out);
  if (!sink_.flush()) ok_ = false;
  ++chunk_count_;
  chunk_.clear();
  chunk_index_.clear();
}

void McapWriter::write_summary() {
  std::vector<uint8_t> out;
  const size_t data_end = open_record(out, kDataEnd);
  FieldWriter(out).u32(0);  // no data-section CRC: chunks carry their own
  close_record(out, data_end);
  const uint64_t summary_start = offset_ + out.size();

  // Each group of the summary, with where it starts and how long it is.
  std::vector<std::tuple<Opcode, uint64_t, uint64_t>> groups;
  auto group = [&](Opcode op, auto&& append) {
    const size_t begin = out.size();
    append();
    if (out.size() > begin) groups.emplace_back(op, offset_ + begin, out.size() - begin);
  };
  group(kSchema, [&] {
    for (const auto& [id, _] : schemas_) append_schema(out, id);
  });
  group(kChannel, [&] {
    for (const auto& [id, _] : channels_) append_channel(out, id);
  });
  group(kStatistics, [&] {
    const size_t at = open_record(out, kStatistics);
    FieldWriter w(out);
    w.u64(message_count_);
    w.u16(static_cast<uint16_t>(schemas_.size()));
    w.u32(static_cast<uint32_t>(channels_.size()));
    w.u32(0);
    w.u32(static_cast<uint32_t>(metadata_index_.size()));
    w.u32(chunk_count_);
    w.u64(first_time_ns_);
    w.u64(last_time_ns_);
    w.u32(static_cast<uint32_t>(per_channel_.size() * 10));
    for (const auto& [channel, count] : per_channel_) {
      w.u16(channel);
      w.u64(count);
    }
    close_record(out, at);
  });
  group(kChunkIndex, [&] { out.insert(out.end(), chunk_indexes_.begin(), chunk_indexes_.end()); });
  group(kMetadataIndex, [&] {
    for (size_t i = 0; i < metadata_index_.size(); ++i) {
      const size_t at = open_record(out, kMetadataIndex);
      FieldWriter w(out);
      w.u64(metadata_index_[i].first);
      w.u64(metadata_index_[i].second);
      w.string(metadata_names_[i]);
      close_record(out, at);
    }
  });

  const uint64_t summary_offset_start = offset_ + out.size();
  for (const auto& [op, start, length] : groups) {
    const size_t at = open_record(out, kSummaryOffset);
    FieldWriter w(out);
    w.u8(op);
    w.u64(start);
    w.u64(length);
    close_record(out, at);
  }
  // The summary CRC runs from the summary's start through the footer's
  // summary_offset_start field, so the footer's length is written first.
  const size_t footer = open_record(out, kFooter);
  FieldWriter w(out);
  w.patch_u64(footer, 8 + 8 + 4);
  w.u64(summary_start);
  w.u64(summary_offset_start);
  const size_t crc_from = summary_start - offset_;
  w.u32(crc32(out.data() + crc_from, out.size() - crc_from));
  out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
  emit(out);
}

bool McapWriter::close() {
  if (closed_) return ok_;
  closed_ = true;
  if (options_.live) {
    // A feed ends like a file without a summary.
    std::vector<uint8_t> out;
    const size_t data_end = open_record(out, kDataEnd);
    FieldWriter(out).u32(0);
    close_record(out, data_end);
    const size_t footer = open_record(out, kFooter);
    FieldWriter w(out);
    w.u64(0);
    w.u64(0);
    w.u32(0);
    close_record(out, footer);
    out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
    emit(out);
  } else {
    close_chunk();
    write_summary();
  }
  if (!sink_.flush()) ok_ = false;
  return ok_;
}

}  // namespace tvis::capture
