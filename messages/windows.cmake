# The message texts on Windows, included by messages/CMakeLists.txt in place
# of the catalogs and the built-in C++ table:
#   - each language's texts as a message-table resource (make_table.cmake
#     with RC_OUTPUT writes the script, windres compiles it);
#   - ${KXENV_LOCALE_BUILD_DIR}/KXENVRC.<language>: the locale modules,
#     resource-only DLLs named as the catalogs are, which loadLocaleA loads
#     as data files; installed into bin/ beside kxenv.dll;
#   - KXENV_MESSAGES_SOURCE: the English resource's object file, linked
#     into kxenv.dll as its built-in table (the module handle that
#     FormatMessage reads when no locale module loads).
# kxenv_catalogs and kxenv_message_table are the targets that make them,
# as on Linux.

# The primary language id of each language code, for the resource's
# LANGUAGE (a locale module knows its language from it).
set(kx_language_id_en 0x09)
set(kx_language_id_de 0x07)

set(resource_dir ${CMAKE_BINARY_DIR}/generated)
set(locale_targets "")
foreach(language IN LISTS KXENV_MESSAGE_LANGUAGES)
  if(NOT DEFINED kx_language_id_${language})
    message(FATAL_ERROR "messages/windows.cmake: no language id for ${language}")
  endif()
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/KXENVRC.${language}.msg)
  set(script ${resource_dir}/KXENVRC.${language}.rc)
  set(object ${resource_dir}/KXENVRC.${language}.res.obj)
  set(ascii OFF)
  if(language STREQUAL "en")  # the built-in table is plain ASCII
    set(ascii ON)
    set(english_object ${object})
  endif()
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -DMSG_SOURCE=${source}
            -DMSG_COUNT=${KXENV_MESSAGE_COUNT} -DMSG_ASCII=${ascii}
            -DRC_OUTPUT=${script} -DRC_LANGUAGE=${kx_language_id_${language}}
            -P ${table_script}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${script} -o ${object}
    DEPENDS ${source} ${table_script}
            ${CMAKE_CURRENT_SOURCE_DIR}/make_rc.cmake
    COMMENT "Making the message table of KXENVRC.${language}"
    VERBATIM)
  # A resource-only DLL: no code, no C runtime, no entry point.
  set(target kxenv_locale_${language})
  add_library(${target} MODULE ${object})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME KXENVRC PREFIX "" SUFFIX ".${language}"
    LINKER_LANGUAGE C
    LIBRARY_OUTPUT_DIRECTORY ${KXENV_LOCALE_BUILD_DIR})
  target_link_options(${target} PRIVATE -nostdlib -Wl,-e,0)
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND locale_targets ${target})
endforeach()
add_custom_target(kxenv_catalogs ALL DEPENDS ${locale_targets})
add_custom_target(kxenv_message_table ALL DEPENDS ${english_object})

set(KXENV_MESSAGES_SOURCE ${english_object} CACHE INTERNAL
    "The English message-table resource, linked into kxenv.dll")
set(KXENV_LOCALE_BUILD_DIR ${KXENV_LOCALE_BUILD_DIR} PARENT_SCOPE)
