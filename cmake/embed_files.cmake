# Writes a C++ source that holds files as byte arrays, with a table from a
# served path to the bytes and content type, so that a program carries its
# web assets inside. Run at build time as:
#   cmake -DOUT=<file.cpp> -DNAMESPACE=<ns> -DFILES="a.html|b.js" -P embed_files.cmake
# The first file is served at "/", the others at "/<file name>".
string(REPLACE "|" ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  get_filename_component(ext "${path}" EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".json")
    set(type "application/json")
  else()
    message(FATAL_ERROR "embed_files: no content type for ${name}")
  endif()
  if(index EQUAL 0)
    set(served "/")
  else()
    set(served "/${name}")
  endif()
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const uint8_t kFile${index}[${size} + 1] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${served}\", \"${type}\", {kFile${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Generated from the files listed by the build; edit those, not this.
#include <cstdint>
#include <span>
#include <string_view>

#include \"view_assets.h\"

namespace ${NAMESPACE} {

namespace {
${body}
const Asset kAssets[] = {
${table}};
}  // namespace

const Asset* find_asset(std::string_view path) {
  for (const Asset& a : kAssets)
    if (a.path == path) return &a;
  return nullptr;
}

std::string_view asset_text(std::string_view path) {
  const Asset* a = find_asset(path);
  return a ? std::string_view(reinterpret_cast<const char*>(a->bytes.data()), a->bytes.size()) : std::string_view();
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
