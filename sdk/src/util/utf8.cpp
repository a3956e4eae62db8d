#include "util/utf8.h"

#include <cstring>

namespace tvis {

bool is_valid_utf8(const uint8_t* s, size_t len) {
  size_t i = 0;
  while (i < len) {
    // Most texts are ASCII: step over eight such bytes at a time.
    if (i + 8 <= len) {
      uint64_t block;
      std::memcpy(&block, s + i, 8);
      if ((block & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (len - i - 1 < need) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += need + 1;
  }
  return true;
}

}  // namespace tvis
