# ctest -P script: the module exports exactly vmmgrVboxPdmInit and VBoxDevicesRegister, and
# nothing else of any kind (functions, data, weak or unique symbols, exports by ordinal).
#   cmake -DMODULE=<file> -DTOOL=<nm or objdump> -DWINDOWS=<ON|OFF> -P CheckExports.cmake
if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  # Every entry of the export address table, named or not: "	[   0] +base[   1] 1f30 ..."
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] \\+base" entries "${dump}")
  # The names: "	[   0] Name"
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^ +\t\n][^\n]*" lines "${dump}")
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  # Every defined dynamic symbol, whatever its type letter.
  string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] [^\n]+" lines "${dump}")
  set(entries ${lines})
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} failed on ${MODULE}")
endif()
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[^ ]+ [^ ]+ " "" name "${line}")
  string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" name "${name}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
list(LENGTH entries count)
if(NOT names STREQUAL "VBoxDevicesRegister;vmmgrVboxPdmInit" OR NOT count EQUAL 2)
  message(FATAL_ERROR "exports of ${MODULE}: ${count} entries, names '${names}'; expected "
                      "exactly VBoxDevicesRegister;vmmgrVboxPdmInit")
endif()
message(STATUS "exports: ${names}")
