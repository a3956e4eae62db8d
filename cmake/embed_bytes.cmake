# Writes a C++ file defining `const unsigned char NAME[]` and `NAME_size` with
# the bytes of INPUT, so a binary carries a generated file without reading
# it at run time. Run as: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P this
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
# The file's name only: a folder in the text would make every clone's copy differ
# (and miss the compiler cache).
get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}" "// Generated from ${input_name}; do not edit.\n#include <cstddef>\n"
  "extern const unsigned char ${NAME}[] = {\n${bytes}0};\nextern const std::size_t ${NAME}_size = ${size};\n")
