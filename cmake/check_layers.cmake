# Fails when a source file includes a header of a layer it must not use.
# Every include is spelled from the repository's root ("core/copy_driver.h"),
# so include paths alone cannot keep the layers apart; this check does.
#
#   platform  the operating system, behind contracts; nothing of ours
#   common    what the three programs share (protocol, settings, run control)
#   db        the task database, for the core and the front end
#   inner     the copier
#   core      the core
#   frontend  the command-line front end
#
# Outside platform/, only its contracts (platform/*.h) may be included, never
# a file of one system's implementation.
#
# Run as: cmake -DSOURCE_DIR=<repository> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed_platform platform)
set(allowed_common platform common)
set(allowed_db platform common db)
set(allowed_inner platform common inner)
set(allowed_core platform common db core)
set(allowed_frontend platform common db frontend)

set(violations "")
foreach(layer platform common db inner core frontend)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${layer}/*.cc" "${SOURCE_DIR}/${layer}/*.h")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^#include \"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+" header_layer "${header}")
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
      if(NOT header_layer IN_LIST allowed_${layer})
        list(APPEND violations "${shown} includes ${header}")
      elseif(NOT layer STREQUAL "platform" AND header MATCHES "^platform/.+/")
        list(APPEND violations "${shown} includes ${header}, a file of one system's platform layer")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "headers included across the layers:\n  ${text}")
endif()
message(STATUS "every layer includes only what it may use")
