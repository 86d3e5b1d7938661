# Compares the symbols a library exports with the checked-in list.
#   cmake -DLIBRARY=<file> -DEXPECTED=<list> -P check_symbols.cmake
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE output RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [TWDBRV] [^\n]+" lines "${output}")
set(actual "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-f]+ [TWDBRV] " "" symbol "${line}")
  # Sanitizer builds add symbols of their own.
  if(NOT symbol MATCHES "^__(odr_asan|asan|ubsan|tsan|sancov)")
    list(APPEND actual "${symbol}")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/compare_symbols.cmake)
kx_compare_symbols("${actual}" ${EXPECTED} "exported symbols")
