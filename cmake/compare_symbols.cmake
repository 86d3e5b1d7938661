# kx_compare_symbols(<actual list> <expected file> <what> [<left out>...]): fails with the
# names that differ when a library's exported names are not those of the
# checked-in list. Shared by the Linux and the Windows export checks.
function(kx_compare_symbols actual expected_file what)
  file(STRINGS ${expected_file} expected)
  if(ARGN)  # names the list has but this library need not export
    list(REMOVE_ITEM expected ${ARGN})
  endif()
  list(SORT expected)
  list(SORT actual)
  if(NOT actual STREQUAL expected)
    set(extra ${actual})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    list(REMOVE_ITEM missing ${actual})
    message(FATAL_ERROR "${what} differ from ${expected_file}\n"
            "  not in the list: ${extra}\n  missing: ${missing}")
  endif()
endfunction()
