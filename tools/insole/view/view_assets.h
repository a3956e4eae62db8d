// The browser view's page, script and style, built into
// the tool from tools/insole/view/page/ (see cmake/embed_files.cmake). The server
// answers only paths of this table, so no request ever names a file.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace insole {

struct Asset {
  std::string_view path;  // "/view.js"; the page itself is "/"
  std::string_view content_type;
  std::span<const uint8_t> bytes;
};

// The asset served at exactly this path, or null.
const Asset* find_asset(std::string_view path);

// The bytes of an asset as text (empty for an unknown path).
std::string_view asset_text(std::string_view path);

}  // namespace insole
