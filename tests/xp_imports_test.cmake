# The import check for Windows XP SP3: a program that imports later
# functions is refused with each named, whether or not the headers know
# them as later; one that imports by ordinal is refused; one that imports
# only listed functions passes, and so does the product.
#   cmake -DCHECKER=... -DLIST=... -DOBJDUMP=... -DCC=... -DWORK=... -DLATE=late.exe
#         -DCLASSIC=classic.exe -DVISTA=vista.exe -DORDINAL=ordinal.exe
#         -DPRODUCT=VeskoUpgrade.exe -DKNOWN_CHECKER=... -DKNOWN_LIST=...
#         -P xp_imports_test.cmake
# The known-DLL check too: a program importing from comctl32.dll is
# refused with the DLL named; the product passes.

function(check exe out_result out_text)
  execute_process(COMMAND ${CMAKE_COMMAND} -DEXE=${exe} -DLIST=${LIST} -DOBJDUMP=${OBJDUMP} -DCC=${CC}
                          -DWORK=${WORK} -P ${CHECKER}
                  RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE text)
  string(REGEX REPLACE "[ \r\n]+" " " text "${text}")
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

foreach(case "LATE;imports GetTickCount64 from kernel32.dll;imports _itoa_s from msvcrt.dll"
             "VISTA;imports GetThreadId from kernel32.dll"
             "ORDINAL;imports ordinal 17 from comctl32.dll")
  list(POP_FRONT case probe)
  check(${${probe}} result text)
  if(result EQUAL 0)
    message(SEND_ERROR "${probe}: a program importing what XP may lack passed: ${text}")
  endif()
  foreach(expected IN LISTS case)
    if(NOT text MATCHES "${expected}")
      message(SEND_ERROR "${probe}: the refusal does not say \"${expected}\": ${text}")
    endif()
  endforeach()
  if(NOT text MATCHES "add it to cmake/XpImports.txt")
    message(SEND_ERROR "${probe}: the refusal does not say how to add an import: ${text}")
  endif()
endforeach()

foreach(exe ${CLASSIC} ${PRODUCT})
  check(${exe} result text)
  if(NOT result EQUAL 0 OR NOT text MATCHES "imports nothing that Windows XP SP3 lacks")
    message(SEND_ERROR "${exe} was refused: ${text}")
  endif()
endforeach()

foreach(case "${ORDINAL};1;imports from comctl32.dll, which is not one of the system's known DLLs"
             "${CLASSIC};0;imports only from the system's known DLLs"
             "${PRODUCT};0;imports only from the system's known DLLs")
  list(POP_FRONT case exe refused expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DEXE=${exe} -DLIST=${KNOWN_LIST} -DOBJDUMP=${OBJDUMP}
                          -P ${KNOWN_CHECKER}
                  RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE text)
  string(REGEX REPLACE "[ \r\n]+" " " text "${text}")
  if((refused AND result EQUAL 0) OR (NOT refused AND NOT result EQUAL 0) OR NOT text MATCHES "${expected}")
    message(SEND_ERROR "${exe}: the known-DLL check did not say \"${expected}\": ${text}")
  endif()
endforeach()
