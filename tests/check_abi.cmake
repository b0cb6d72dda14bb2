cmake_minimum_required(VERSION 3.25)
# Compares the ABI of the shared library LIB with the baseline BASELINE: writes
# the library's ABI to CURRENT with the same abidw arguments as the baseline
# (ABIDW_ARGS, a list) and fails on any difference abidiff reports.
foreach(tool ABIDW ABIDIFF)
  if(NOT ${tool} OR NOT EXISTS "${${tool}}")
    message(FATAL_ERROR "abidw/abidiff not found: install the abigail-tools package")
  endif()
endforeach()
if(NOT EXISTS "${BASELINE}")
  message(FATAL_ERROR "no ABI baseline ${BASELINE}: run bash scripts/abi-update")
endif()

execute_process(COMMAND ${ABIDW} ${ABIDW_ARGS} --out-file ${CURRENT} ${LIB}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "abidw failed on ${LIB} (${rc}): ${err}")
endif()
# Without debug information, or with header paths that do not match it, abidw
# drops every record and the comparison would pass on functions alone.
file(READ ${CURRENT} text)
foreach(record kelffa_item kelffa_page kelffa_backend kelmcat_vault kelmcat_scan_stats)
  if(NOT text MATCHES "<class-decl name='${record}' size-in-bits='[0-9]+'")
    message(FATAL_ERROR "${CURRENT} does not describe the record ${record}: "
                        "is the library built with debug information?")
  endif()
endforeach()

execute_process(COMMAND ${ABIDIFF} --no-show-locs ${BASELINE} ${CURRENT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(STATUS "ABI of ${LIB} matches ${BASELINE}")
  return()
endif()
message("${report}${err}")
# abidiff's status is a bit set: 1 error, 2 usage, 4 change, 8 incompatible change.
math(EXPR incompatible "${rc} & 8")
math(EXPR changed "${rc} & 4")
if(incompatible)
  message(FATAL_ERROR "incompatible ABI change against ${BASELINE}: a removed or changed "
                      "function or record breaks programs built against libkelmcat.so.1")
elseif(changed)
  message(FATAL_ERROR "the ABI differs from ${BASELINE}; when the change only adds to it, "
                      "run bash scripts/abi-update and commit the new baseline with it")
else()
  message(FATAL_ERROR "abidiff failed (${rc})")
endif()
