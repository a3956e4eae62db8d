# Fails when a lower room of sdk/src includes a higher one, so that each room
# can be read, tested and reused with only the rooms below it. Run by the
# build (target check_layers) as: cmake -DSRC=<sdk/src> -P check_layers.cmake
#
#   util, then log, then protocol, pressure, layout and capture (none needs another), then
#   the core of the C face with the update worker, the simulated stream and
#   the virtual insole (c, dfu, mock, sim: the exports in c/api_*.cpp start dfu
#   and mock, which call back through c's registry), then python on top.
set(rank_util 0)
set(rank_log 1)
set(rank_protocol 2)
set(rank_pressure 2)
set(rank_layout 2)
set(rank_capture 2)
set(rank_c 3)
set(rank_dfu 3)
set(rank_mock 3)
set(rank_sim 3)
set(rank_python 4)

file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cpp")
set(violations "")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[a-z_]+/" room "${source}")
  string(REPLACE "/" "" room "${room}")
  if(room STREQUAL "" OR NOT DEFINED rank_${room})
    continue()
  endif()
  file(STRINGS "${SRC}/${source}" includes REGEX "^#include \"[a-z_]+/")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "\"([a-z_]+)/" unused "${line}")
    set(used "${CMAKE_MATCH_1}")
    if(NOT DEFINED rank_${used})
      list(APPEND violations "${source}: ${line} (a room the layering does not know)")
    elseif(rank_${used} GREATER rank_${room} OR (rank_${room} EQUAL 2 AND NOT used STREQUAL room AND rank_${used} EQUAL 2))
      list(APPEND violations "${source}: ${line} (${room} sits below ${used})")
    endif()
  endforeach()
endforeach()
if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "lower rooms include higher ones:\n  ${text}")
endif()
