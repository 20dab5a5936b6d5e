# Fails when a file includes a header it may not see. The folders of src/ are layers,
# lowest first:
#   platform <- core <- codec <- pipelines (probe, transcode, merge, edit, image, finish) <- api
# A file of src/ sees its own folder and lower layers, never another pipeline. The
# public headers are the only includes without a folder: mpg.h from core up (the
# progress callback's record is public), mpg_string.hpp in api alone.
# A test folder named after a folder of src/ sees what that folder sees, plus support/;
# every other test folder (api, realworld, reliability, threads ...) reaches the library
# through the public headers and support/ alone. Every test may call the exports.
# Run as: cmake -DSRC=<path to src> -DTESTS=<path to tests> -P check_layers.cmake
set(rank_platform 0)
set(rank_core 1)
set(rank_codec 2)
foreach(pipeline probe transcode merge edit image finish)
  set(rank_${pipeline} 3)
endforeach()
set(rank_api 4)
set(public_min_rank_mpg.h 1)
set(public_min_rank_mpg_string.hpp 4)

set(violations "")

# Checks every quoted include of file (a path under root) as seen from a folder of
# rank `rank` named `from`; `label` names the file in messages. A rank of -1 means the
# public headers and support/ alone. allowSupport marks a test: it may include support/
# and every public header.
function(check_file root file from rank label allowSupport)
  file(STRINGS ${root}/${file} includes REGEX "^#include \"[^\"]+\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
    if(NOT header MATCHES "/")
      if(NOT DEFINED public_min_rank_${header})
        # A header of the file's own folder, as the tool and the Windows tests keep them.
        if(EXISTS ${root}/${from}/${header})
          continue()
        endif()
        list(APPEND violations "${label}: '${header}' is no public header and names no folder")
      elseif(NOT allowSupport AND rank LESS public_min_rank_${header})
        list(APPEND violations "${label}: ${from} may not include the public ${header}")
      endif()
      continue()
    endif()
    string(REGEX MATCH "^[^/]+" to "${header}")
    if(to STREQUAL from OR (to STREQUAL "support" AND allowSupport))
      continue()
    endif()
    if(NOT DEFINED rank_${to})
      list(APPEND violations "${label}: includes \"${header}\" from no layer")
    elseif(rank LESS 0 OR NOT rank_${to} LESS rank)
      list(APPEND violations "${label}: ${from} may not include \"${header}\"")
    endif()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp)
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" from ${source})
  if(NOT DEFINED rank_${from})
    list(APPEND violations "src/${source}: folder '${from}' belongs to no layer")
    continue()
  endif()
  check_file(${SRC} ${source} ${from} ${rank_${from}} "src/${source}" FALSE)
endforeach()

file(GLOB_RECURSE tests RELATIVE ${TESTS} ${TESTS}/*.h ${TESTS}/*.cpp ${TESTS}/*.c)
foreach(test IN LISTS tests)
  string(REGEX MATCH "^[^/]+" from ${test})
  set(rank -1)
  if(DEFINED rank_${from})
    set(rank ${rank_${from}})
  endif()
  check_file(${TESTS} ${test} ${from} ${rank} "tests/${test}" TRUE)
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Layer violations:\n  ${text}")
endif()
list(LENGTH sources srcCount)
list(LENGTH tests testCount)
message(STATUS "${srcCount} files of src/ and ${testCount} of tests/ keep to their layers")
