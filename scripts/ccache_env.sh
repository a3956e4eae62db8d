# Sourced by the build scripts: puts a compiler cache in front of every CMake
# build they start, so that a second run on the same machine, or a fresh clone
# in another folder, compiles only what changed. Without ccache (or with
# TVIS_NO_CCACHE=1) it does nothing and the builds compile everything.
#
# The cache lives outside the clone ($CCACHE_DIR, else ~/.cache/ccache) and
# survives between runs. Paths under the clone are hashed relative to the
# build folder (base dir = the clone) and the build folder itself is not
# hashed, so the same build in another clone hits. The price of the latter:
# debug info in a hit names the folder of the build that filled the cache
# (file names and lines stay right).
#
# CMake reads CMAKE_<LANG>_COMPILER_LAUNCHER from the environment when it
# first configures a build folder; a folder configured before keeps its choice.
if [ -z "${TVIS_NO_CCACHE:-}" ] && command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
  export CCACHE_BASEDIR=$(pwd -P)
  export CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
