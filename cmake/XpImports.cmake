# Refuses an executable that Windows XP SP3 might not start: one that
# imports anything outside the reviewed list LIST (XpImports.txt: each
# function with its documented minimum Windows), imports by ordinal what the
# list does not name, or asks for a newer subsystem version than XP's 5.1.
#
#   cmake -DEXE=x.exe -DLIST=XpImports.txt -DOBJDUMP=objdump -DCC=gcc -DWORK=dir
#         -P XpImports.cmake
#
# A second net under the list: every listed name is compiled into a
# generated C file that takes its address, with _WIN32_WINNT and WINVER at
# 0x0501, so the MinGW headers leave undeclared any later function they
# guard and the compiler names it; msvcrt.dll names are matched against what
# later msvcrt.dll versions added instead. The headers guard many later
# functions (GetThreadId, RegGetValueW) with nothing, so the list is the
# check and the headers only a second opinion.

cmake_minimum_required(VERSION 3.21)
get_filename_component(exe_name "${EXE}" NAME)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${exe_name}: objdump cannot read it")
endif()

set(refusals "")
macro(refuse text)
  string(APPEND refusals "${exe_name}: ${text}\n")
endmacro()

# XP is Windows NT 5.1: a larger subsystem version and the loader refuses.
string(REGEX MATCH "MajorSubsystemVersion[ \t]+([0-9]+)" _ "${dump}")
set(major "${CMAKE_MATCH_1}")
string(REGEX MATCH "MinorSubsystemVersion[ \t]+([0-9]+)" _ "${dump}")
set(minor "${CMAKE_MATCH_1}")
if(major STREQUAL "" OR major GREATER 5 OR (major EQUAL 5 AND minor GREATER 1))
  refuse("subsystem version ${major}.${minor} is newer than Windows XP's 5.1")
endif()

# The C run-time's start-up and data imports, which no header declares as a
# plain function; all are in XP's msvcrt.dll.
set(crt_internals __getmainargs __wgetmainargs __initenv __winitenv __mb_cur_max
    __p__acmdln __p__wcmdln __p__commode __p__fmode __p__environ __p__wenviron
    __set_app_type __setusermatherr __lconv_init __dllonexit __iob_func _iob
    _amsg_exit _cexit _initterm _onexit _setjmp3 _setjmp _fmode _commode
    _acmdln _wcmdln __argc __argv __wargv _environ _wenviron _errno)
# What later msvcrt.dll versions added and XP SP3's lacks, beside the
# secure (_s) and locale (_l) variants, matched by their ending.
set(crt_later strnlen wcsnlen _mbstrnlen _fseeki64 _ftelli64 _create_locale
    _free_locale _get_current_locale _get_errno _set_errno _get_doserrno
    _set_invalid_parameter_handler _get_invalid_parameter_handler)

# The reviewed list, as "dll:function" (or "dll:#ordinal") entries.
file(STRINGS "${LIST}" list_lines REGEX "^[A-Za-z0-9_.]+\\.dll[ \t]+[^ \t]+")
get_filename_component(list_name "${LIST}" NAME)
set(allowed "")
foreach(entry IN LISTS list_lines)
  string(REGEX MATCH "^([^ \t]+)[ \t]+([^ \t]+)" _ "${entry}")
  string(TOLOWER "${CMAKE_MATCH_1}" entry_dll)
  list(APPEND allowed "${entry_dll}:${CMAKE_MATCH_2}")
endforeach()
set(how_to_add "check its documented minimum Windows version and, if it is Windows XP SP3 or
  earlier, add it to cmake/${list_name}; otherwise look it up at run time")

set(source "")
set(names "")
set(count 0)
set(dll "")
string(REPLACE "\n" ";" lines "${dump}")
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    continue()
  endif()
  if(dll STREQUAL "")
    continue()
  endif()
  # "\t<rva>\t<ordinal>  <none>" rows: imports by ordinal alone.
  if(line MATCHES "^\t[0-9a-f]+\t +([0-9]+)  <none>$")
    if(NOT "${dll}:#${CMAKE_MATCH_1}" IN_LIST allowed)
      refuse("imports ordinal ${CMAKE_MATCH_1} from ${dll} by number, which cmake/${list_name} does not list: ${how_to_add}")
    endif()
    set(names "${names};#${CMAKE_MATCH_1}=${dll}")
    continue()
  endif()
  # "\t<rva>\t<hint>  <name>" rows of the import tables.
  if(NOT line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([A-Za-z_][A-Za-z0-9_]*)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(NOT "${dll}:${name}" IN_LIST allowed)
    refuse("imports ${name} from ${dll}, which cmake/${list_name} does not list: ${how_to_add}")
    continue()
  endif()
  if(dll STREQUAL "msvcrt.dll")
    if(name IN_LIST crt_later OR name MATCHES "[a-z0-9]_[sl]$")
      refuse("imports ${name} from msvcrt.dll, which Windows XP SP3's lacks")
    elseif(NOT name IN_LIST crt_internals)
      string(APPEND source "void *const import${count} = (void *)&${name}; /* ${dll} */\n")
    endif()
  else()
    string(APPEND source "void *const import${count} = (void *)&${name}; /* ${dll} */\n")
  endif()
  math(EXPR count "${count} + 1")
  list(APPEND names "${name}=${dll}")
endforeach()
if(names STREQUAL "")
  refuse("no imports found: not a PE image objdump understands")
endif()

file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/xp_imports.c" "/* Generated from the imports of ${exe_name}. */
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <objbase.h>
#include <shlobj.h>
#include <ctype.h>
#include <errno.h>
#include <io.h>
#include <locale.h>
#include <math.h>
#include <process.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wchar.h>
${source}")
# Plain quotes in the compiler's messages, which are read below.
set(ENV{LC_ALL} C)
execute_process(
  COMMAND "${CC}" -std=gnu11 -fdiagnostics-color=never -fsyntax-only -D_WIN32_WINNT=0x0501 -DWINVER=0x0501
          -D_WIN32_IE=0x0600 "${WORK}/xp_imports.c"
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  string(REGEX MATCHALL "'[A-Za-z0-9_]+' undeclared" undeclared "${out}")
  if(undeclared STREQUAL "")
    message(FATAL_ERROR "${exe_name}: the import check did not compile:\n${out}")
  endif()
  foreach(hit IN LISTS undeclared)
    string(REGEX REPLACE "'([A-Za-z0-9_]+)'.*" "\\1" name "${hit}")
    set(from "${names}")
    list(FILTER from INCLUDE REGEX "^${name}=")
    list(GET from 0 from)
    string(REGEX REPLACE "^[^=]*=" "" from "${from}")
    refuse("imports ${name} from ${from}, which Windows XP SP3 lacks (look it up at run time)")
  endforeach()
endif()

if(NOT refusals STREQUAL "")
  message(FATAL_ERROR "${refusals}")
endif()
message(STATUS "${exe_name}: imports nothing that Windows XP SP3 lacks")
