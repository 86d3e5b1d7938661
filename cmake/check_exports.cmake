# Compares the names a DLL exports with the Linux build's list, so that both
# platforms export the same undecorated names (no @n suffix, no leading _),
# and checks that each export is of the C calling convention (see below).
#   cmake -DOBJDUMP=<objdump> -DNM=<nm> -DLIBRARY=<dll> -DARCH=<i686|x86_64>
#         -DEXPECTED=<list> -P check_exports.cmake
# kxwin_string_table is the Linux stand-in for kxenv.dll's message-table
# resource, so a DLL does not export it.
# What a binutils tool prints about a file (options in ARGN).
function(kx_tool_output out tool file)
  execute_process(COMMAND ${tool} ${ARGN} ${file}
                  OUTPUT_VARIABLE output RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "${tool} failed on ${file}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

kx_tool_output(output ${OBJDUMP} ${LIBRARY} -p)
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

# The calling convention. The DLL's symbol table names each exported
# function as its declaration decorated it, whatever names the export table
# gives: on i686 "_name" for the C convention (__cdecl, the caller pops the
# arguments) and "_name@<bytes>" for __stdcall; x86_64 has one convention
# and decorates nothing. Every export must be the plain C function that the
# public headers declare (a stripped DLL fails here too).
kx_tool_output(symbols ${NM} ${LIBRARY} --defined-only)
string(REGEX MATCHALL "[^\n ]+\n" defined "${symbols}")
list(TRANSFORM defined STRIP)
set(prefix "")
if(ARCH STREQUAL "i686")
  set(prefix "_")
endif()
set(other "")
foreach(name IN LISTS actual)
  list(FIND defined "${prefix}${name}" found)
  if(found EQUAL -1)
    list(APPEND other "${name}")
  endif()
endforeach()
if(other)
  message(FATAL_ERROR "${LIBRARY}: not of the C calling convention "
          "(${ARCH}): ${other}")
endif()
