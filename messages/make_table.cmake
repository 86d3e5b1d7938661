# Reads a gencat message source and checks it; with TABLE_OUTPUT, also
# writes the C++ file that carries its texts inside libkxenv.
#
#   cmake -DMSG_SOURCE=<file.msg> -DMSG_COUNT=<n> [-DMSG_ASCII=ON]
#         [-DTABLE_OUTPUT=<file.cpp>]
#         [-DRC_OUTPUT=<file.rc> -DRC_LANGUAGE=<id>] -P make_table.cmake
#
# The source is the subset of the gencat format that the project writes:
#   $set 1                  once, before the first message
#   $ <comment>             a comment ("$" alone too)
#   <blank line>
#   <N> <text>              N without leading zeros, one blank or tab, then a
#                           text that does not start with a blank
# In a text, "\\" stands for a backslash, "\n" for a new line and "\t" for a
# tab, as gencat reads them; no other escape and no continuation line is
# accepted, so the built-in texts and the catalogs always agree. The numbers
# must be exactly 1..MSG_COUNT, each once. Any other line fails the build
# with its file name and line number.
#
# Lines are split with string(FIND), never as a CMake list, so a text may
# hold ";", "[" or "]".
cmake_minimum_required(VERSION 3.25)

foreach(required MSG_SOURCE MSG_COUNT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "make_table.cmake: -D${required}=... is required")
  endif()
endforeach()
if(NOT MSG_COUNT MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "make_table.cmake: MSG_COUNT must be a positive number")
endif()

set(errors "")
function(fail line_number what)
  set(errors "${errors}${MSG_SOURCE}:${line_number}: ${what}\n" PARENT_SCOPE)
endfunction()

# Turns the gencat escapes of `raw` into the characters they stand for, in
# the variable named by `out`; sets the variable named by `reason_out` to why
# the text is refused, or to "".
function(decode_escapes raw out reason_out)
  string(ASCII 1 placeholder)
  string(REPLACE "\\\\" "${placeholder}" text "${raw}")
  set(reason "")
  if(text MATCHES "\\\\$")
    set(reason "ends in a backslash (continuation lines are not supported)")
  elseif(text MATCHES "\\\\[^nt]")
    set(reason "has a backslash escape other than \\\\, \\n or \\t")
  endif()
  string(REPLACE "\\n" "\n" text "${text}")
  string(REPLACE "\\t" "\t" text "${text}")
  string(REPLACE "${placeholder}" "\\" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
  set(${reason_out} "${reason}" PARENT_SCOPE)
endfunction()

# The text as the body of a C string literal.
function(c_literal text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Checks the message `number` with text `raw` (read from line `line_number`)
# and records text_<number> and line_of_<number>. A macro, so that the
# records land in the script's scope; it takes no arguments because macro
# arguments are substituted as text, which would reinterpret backslashes.
macro(take_message)
  decode_escapes("${raw}" decoded bad_escape)
  if(NOT seen_set)
    fail(${line_number} "message ${number} comes before \"$set 1\"")
  elseif(bad_escape)
    fail(${line_number} "message ${number} ${bad_escape}")
  elseif(MSG_ASCII AND NOT raw MATCHES "^[ -~]+$")
    fail(${line_number} "message ${number} is not printable ASCII")
  elseif(raw MATCHES "[\t\r]")
    fail(${line_number} "message ${number} holds a tab or carriage return")
  elseif(number GREATER MSG_COUNT)
    fail(${line_number} "message ${number} is beyond the last number, ${MSG_COUNT}")
  elseif(DEFINED line_of_${number})
    fail(${line_number} "message ${number} is also on line ${line_of_${number}}")
  else()
    set(line_of_${number} ${line_number})
    set(text_${number} "${decoded}")
  endif()
endmacro()

# Takes the line `line` (number `line_number`).
macro(take_line)
  if(line MATCHES "^[ \t]*$")
    # a blank line
  elseif(line MATCHES "^\\$([ \t].*)?$")
    # a comment
  elseif(line MATCHES "^\\$set[ \t]+([0-9]+)[ \t]*$")
    if(seen_set)
      fail(${line_number} "a second $set; the catalog has one set")
    elseif(NOT CMAKE_MATCH_1 EQUAL 1)
      fail(${line_number} "the set must be 1")
    endif()
    set(seen_set TRUE)
  elseif(line MATCHES "^([1-9][0-9]*)[ \t]([^ \t].*)$")
    set(number ${CMAKE_MATCH_1})
    set(raw "${CMAKE_MATCH_2}")
    take_message()
  else()
    fail(${line_number} "not a \"$set 1\", \"$ comment\" or \"N text\" line")
  endif()
endmacro()

file(READ "${MSG_SOURCE}" content)
# file(READ) drops the CR of a CRLF, which gencat would keep in the text.
file(SIZE "${MSG_SOURCE}" file_size)
string(LENGTH "${content}" content_size)
if(NOT file_size EQUAL content_size)
  string(APPEND errors "${MSG_SOURCE}: has CRLF line ends; use LF only\n")
endif()
set(seen_set FALSE)
set(line_number 0)
while(NOT content STREQUAL "")
  math(EXPR line_number "${line_number} + 1")
  string(FIND "${content}" "\n" newline)
  if(newline EQUAL -1)
    set(line "${content}")
    set(content "")
  else()
    string(SUBSTRING "${content}" 0 ${newline} line)
    math(EXPR rest "${newline} + 1")
    string(SUBSTRING "${content}" ${rest} -1 content)
  endif()
  take_line()
endwhile()

set(missing "")
foreach(number RANGE 1 ${MSG_COUNT})
  if(NOT DEFINED line_of_${number})
    string(APPEND missing " ${number}")
  endif()
endforeach()
if(missing)
  string(APPEND errors "${MSG_SOURCE}: messages missing:${missing}\n")
endif()
if(errors)
  message(FATAL_ERROR "Malformed message source:\n${errors}")
endif()

if(DEFINED RC_OUTPUT)
  include(${CMAKE_CURRENT_LIST_DIR}/make_rc.cmake)
endif()
if(NOT DEFINED TABLE_OUTPUT)
  return()
endif()

get_filename_component(source_name "${MSG_SOURCE}" NAME)
math(EXPR slots "${MSG_COUNT} + 1")
set(body "// Generated by messages/make_table.cmake from messages/${source_name}.
// Do not edit: change the message source and build again.
#include <kxwin/kxwin.h>

// kTexts[n] is message n; kTexts[0] is unused.
static const char* const kTexts[${slots}] = {
    nullptr,
")
foreach(number RANGE 1 ${MSG_COUNT})
  c_literal("${text_${number}}" literal)
  string(APPEND body "    /* ${number} */ \"${literal}\",\n")
endforeach()
string(APPEND body "};

extern \"C\" __attribute__((visibility(\"default\"))) const KXWIN_STRING_TABLE
    kxwin_string_table = {${MSG_COUNT}, kTexts};
")
file(WRITE "${TABLE_OUTPUT}" "${body}")
