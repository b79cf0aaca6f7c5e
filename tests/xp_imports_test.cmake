# The import check for Windows XP SP3: a program that imports later
# functions is refused with each named, and one that does not passes.
#   cmake -DCHECKER=... -DOBJDUMP=... -DCC=... -DWORK=... -DLATE=late.exe
#         -DCLASSIC=classic.exe -DPRODUCT=VeskoUpgrade.exe -P xp_imports_test.cmake

function(check exe out_result out_text)
  execute_process(COMMAND ${CMAKE_COMMAND} -DEXE=${exe} -DOBJDUMP=${OBJDUMP} -DCC=${CC}
                          -DWORK=${WORK} -P ${CHECKER}
                  RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE text)
  string(REGEX REPLACE "[ \r\n]+" " " text "${text}")
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

check(${LATE} result text)
if(result EQUAL 0)
  message(SEND_ERROR "a program importing later functions passed: ${text}")
endif()
foreach(expected "imports GetTickCount64 from kernel32.dll" "imports _itoa_s from msvcrt.dll")
  if(NOT text MATCHES "${expected}")
    message(SEND_ERROR "the refusal does not say \"${expected}\": ${text}")
  endif()
endforeach()

foreach(exe ${CLASSIC} ${PRODUCT})
  check(${exe} result text)
  if(NOT result EQUAL 0 OR NOT text MATCHES "imports nothing that Windows XP SP3 lacks")
    message(SEND_ERROR "${exe} was refused: ${text}")
  endif()
endforeach()
