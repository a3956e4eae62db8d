// The JSON text of a device message: compact, object members in ascending
// byte order of their keys at every level, lower-camel-case keys, defaults
// left out, u64 as decimal strings, enumerations by name, floats as the
// shortest text that reads back as the same double, and six IMU values
// derived in single precision.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/messages.h"
#include "util/result.h"

namespace tvis::protocol {

// Bytes written through a cursor: room(n) makes n bytes available at the
// cursor, done(p) moves the cursor to p. Unlike a std::string it leaves new
// storage uninitialised, so making room ahead of the text costs nothing.
class TextBuffer {
 public:
  [[gnu::always_inline]] char* room(size_t n) {
    if (capacity_ - size_ < n) [[unlikely]] grow(n);
    return data_.get() + size_;
  }
  void done(char* end) { size_ = static_cast<size_t>(end - data_.get()); }
  void append(std::string_view text) {
    char* p = room(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    size_ += text.size();
  }

  size_t size() const { return size_; }
  std::string_view view(size_t begin, size_t end) const { return {data_.get() + begin, end - begin}; }
  void truncate(size_t n) { size_ = std::min(size_, n); }
  void clear() { size_ = 0; }
  // Empties the buffer and gives its storage back.
  void release() {
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  [[gnu::noinline]] void grow(size_t n) {
    const size_t capacity = std::max({capacity_ * 2, size_ + n, size_t{1024}});
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Appends the message's JSON text to out. Fails with the error text ("Invalid
// variant N") when an enumeration holds a value outside its table; out is
// then unchanged.
Result<void, std::string> render_json(const InsoleResp& msg, TextBuffer& out);
Result<void, std::string> render_json(const InsoleResp& msg, std::string& out);

// Appends a JSON string literal with minimal escaping.
void append_json_string(std::string& out, std::string_view text);

}  // namespace tvis::protocol
