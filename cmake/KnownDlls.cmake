# Refuses an executable that imports statically from a DLL outside the
# reviewed list LIST (KnownDlls.txt: the system's known DLLs), naming the
# DLL: the loader would search the program's own folder for it first.
#
#   cmake -DEXE=x.exe -DLIST=KnownDlls.txt -DOBJDUMP=objdump -P KnownDlls.cmake

cmake_minimum_required(VERSION 3.21)
get_filename_component(exe_name "${EXE}" NAME)
get_filename_component(list_name "${LIST}" NAME)

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${exe_name}: objdump cannot read it")
endif()

file(STRINGS "${LIST}" known REGEX "^[A-Za-z0-9_]+\\.dll$")
list(TRANSFORM known TOLOWER)

string(REGEX MATCHALL "DLL Name: [^\r\n]+" imported "${dump}")
if(imported STREQUAL "")
  message(FATAL_ERROR "${exe_name}: no imports found: not a PE image objdump understands")
endif()
set(refusals "")
foreach(entry IN LISTS imported)
  string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST known)
    string(APPEND refusals "${exe_name}: imports from ${dll}, which is not one of the system's known DLLs in cmake/${list_name}: the loader would look for it beside the program first. Load it at run time, by name once the search is safe (win/LateBound.h)\n")
  endif()
endforeach()
if(NOT refusals STREQUAL "")
  message(FATAL_ERROR "${refusals}")
endif()
message(STATUS "${exe_name}: imports only from the system's known DLLs")
