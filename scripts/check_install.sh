#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds the C example
# against it twice: through find_package and through pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ccache_env.sh
build=${1:-build/release}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/trova_insole_sdk.h"
"$prefix/bin/insole" foot-side 03 | grep -qx right
readelf -d "$prefix"/lib*/libtrova_insole_sdk.so | grep -q 'SONAME.*libtrova_insole_sdk.so.0'

libdir=$(dirname "$(ls "$prefix"/lib*/libtrova_insole_sdk.so)")
cmake -S examples/c -B "$prefix/example-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/example-cmake" >/dev/null
# Both ways record the library folder in the program: no LD_LIBRARY_PATH.
"$prefix/example-cmake/minimal_host" >/dev/null

cc -std=c99 -Wall -Wextra -pedantic -Werror examples/c/minimal_host.c -o "$prefix/minimal_host_pc" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs trova_insole_sdk)
"$prefix/minimal_host_pc" >/dev/null
echo "install tree: header, library with SONAME, CMake package and pkg-config all usable"
