# Fails when a room includes one that is not strictly below it, so that each
# room can be read, tested and reused with only the rooms below it, and no two
# rooms ever include each other. Run by the build (target check_layers) as:
#   cmake -DSRC=<sdk/src> -DTOOLS=<tools> -P check_layers.cmake
#
# A file may include its own room and rooms of a lower rank, never a room of
# its own rank or above. The SDK's rooms (sdk/src/<room>/, included as
# "<room>/file.h"):
#   0 util
#   1 log
#   2 protocol, pressure, layout, capture   (none needs another)
#   3 gait (events and strides from loads, on protocol, pressure, util)
#   4 runtime: the process-wide state behind both faces (receive path,
#     callback registry, update mailbox, records, live gait)
#   5 dfu, mock, sim                 (dfu and mock call back through runtime)
#   6 c (the C exports), python (the Python face); neither includes the other
cmake_minimum_required(VERSION 3.25)
set(rank_util 0)
set(rank_log 1)
set(rank_protocol 2)
set(rank_pressure 2)
set(rank_layout 2)
set(rank_capture 2)
set(rank_gait 3)
set(rank_runtime 4)
set(rank_dfu 5)
set(rank_mock 5)
set(rank_sim 5)
set(rank_c 6)
set(rank_python 6)

# The tool's rooms (tools/insole/<room>/, included as "insole/<room>/file.h"):
#   0 cli (option layout, values, exit statuses)
#   1 console (the terminal and what it shows)
#   2 capture (file readers and writers), dfu (update session), bridge (MQTT)
#   3 sources (with the recorder), export
#   4 view, gait (strides from captures, on export's reading, and from force tables)
#   5 commands
# Files of tools/ outside a room (the tool's main.cpp, the soak program) may
# include every tool room.
set(tool_rank_cli 0)
set(tool_rank_console 1)
set(tool_rank_capture 2)
set(tool_rank_dfu 2)
set(tool_rank_bridge 2)
set(tool_rank_sources 3)
set(tool_rank_export 3)
set(tool_rank_gait 4)
set(tool_rank_view 4)
set(tool_rank_commands 5)
set(tool_rank_top 6)
# The SDK rooms the tool may include. It reaches the runtime, the update
# worker, the exports and the Python face only through the public header
# (trova_insole_sdk.h), as every host does; those rooms are never included.
set(tool_may_use util log protocol pressure layout capture gait mock sim)
set(tool_never runtime dfu c python)

# The one rank rule: `used` may be `room` itself or of a lower rank in `ranks`
# (the SDK's rank_ or the tool's tool_rank_ table).
function(check_rank ranks where line used room)
  if(NOT DEFINED ${ranks}${used})
    set(violations ${violations} "${where}: ${line} (a room the layering does not know)" PARENT_SCOPE)
  elseif(NOT used STREQUAL room AND NOT ${ranks}${used} LESS ${ranks}${room})
    set(violations ${violations} "${where}: ${line} (${used} is not below ${room})" PARENT_SCOPE)
  endif()
endfunction()

set(include_regex "^[ \t]*#[ \t]*include \"[a-z_]+/")
set(violations "")

file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.h" "${SRC}/*.cpp")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[a-z_]+/" room "${source}")
  string(REPLACE "/" "" room "${room}")
  if(room STREQUAL "" OR NOT DEFINED rank_${room})
    list(APPEND violations "sdk/src/${source}: a room the layering does not know")
    continue()
  endif()
  file(STRINGS "${SRC}/${source}" includes REGEX "${include_regex}")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "\"([a-z_]+)/" unused "${line}")
    set(used "${CMAKE_MATCH_1}")
    check_rank(rank_ "sdk/src/${source}" "${line}" "${used}" "${room}")
  endforeach()
endforeach()

if(DEFINED TOOLS)
  file(GLOB_RECURSE tool_sources RELATIVE "${TOOLS}" "${TOOLS}/*.h" "${TOOLS}/*.cpp")
  foreach(source IN LISTS tool_sources)
    set(room top)
    if(source MATCHES "^insole/([a-z_]+)/")
      set(room "${CMAKE_MATCH_1}")
      if(NOT DEFINED tool_rank_${room})
        list(APPEND violations "tools/${source}: a room the layering does not know")
        continue()
      endif()
    endif()
    file(STRINGS "${TOOLS}/${source}" includes REGEX "${include_regex}")
    foreach(line IN LISTS includes)
      if(line MATCHES "\"insole/([a-z_]+)/")
        set(used "${CMAKE_MATCH_1}")
        check_rank(tool_rank_ "tools/${source}" "${line}" "${used}" "${room}")
      else()
        string(REGEX MATCH "\"([a-z_]+)/" unused "${line}")
        set(used "${CMAKE_MATCH_1}")
        if(used IN_LIST tool_never)
          list(APPEND violations "tools/${source}: ${line} (the tool reaches ${used} through the public header only)")
        elseif(NOT used IN_LIST tool_may_use)
          list(APPEND violations "tools/${source}: ${line} (an SDK room the tool may not include)")
        endif()
      endif()
    endforeach()
  endforeach()
endif()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "includes that break the layering:\n  ${text}")
endif()
