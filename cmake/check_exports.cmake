# Compares the names a DLL exports with the Linux build's list, so that both
# platforms export the same undecorated names (no @n suffix, no leading _).
#   cmake -DOBJDUMP=<objdump> -DLIBRARY=<dll> -DEXPECTED=<list> -P check_exports.cmake
# kxwin_string_table is the Linux stand-in for kxenv.dll's message-table
# resource, so a DLL does not export it.
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
                OUTPUT_VARIABLE output RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${output}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" lines "${table}")
set(actual "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" symbol "${line}")
  list(APPEND actual "${symbol}")
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/compare_symbols.cmake)
kx_compare_symbols("${actual}" ${EXPECTED} "${LIBRARY} exports"
                   kxwin_string_table)
