# vesko_check_xp_imports(TARGET)
# Fails the build of TARGET, naming the function and its DLL, when the
# executable imports anything outside the reviewed list XpImports.txt (see
# XpImports.cmake).
function(vesko_check_xp_imports target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}>
            -DLIST=${PROJECT_SOURCE_DIR}/cmake/XpImports.txt -DOBJDUMP=${CMAKE_OBJDUMP}
            -DCC=${CMAKE_C_COMPILER} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/xp_imports_${target}
            -P ${PROJECT_SOURCE_DIR}/cmake/XpImports.cmake
    VERBATIM)
endfunction()

# vesko_check_known_dlls(TARGET)
# Fails the build of TARGET, naming the DLL, when the executable imports
# from a DLL that is not one of the system's known DLLs (KnownDlls.txt).
function(vesko_check_known_dlls target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}>
            -DLIST=${PROJECT_SOURCE_DIR}/cmake/KnownDlls.txt -DOBJDUMP=${CMAKE_OBJDUMP}
            -P ${PROJECT_SOURCE_DIR}/cmake/KnownDlls.cmake
    VERBATIM)
endfunction()
