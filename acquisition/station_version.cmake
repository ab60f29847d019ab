# Writes the station version (git describe of the source tree) into OUT,
# touching it only when the text changes so nothing rebuilds needlessly.
execute_process(COMMAND git describe --always --dirty
                WORKING_DIRECTORY ${SRC} OUTPUT_VARIABLE v OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0 OR v STREQUAL "")
  set(v "unknown")
endif()
set(text "// Generated at build time.\n#include \"station_version.h\"\nconst char* mdq_station_version() { return \"${v}\"; }\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
