# vesko_payload_rc(OUT_VAR SCRIPT [CHECK])
# Compiles a payload resource script: the script itself becomes resource R1,
# each row names a resource of type EXEFILE. OUT_VAR receives the generated
# .rc to add to a target's sources.
function(vesko_payload_rc out_var script)
  cmake_parse_arguments(arg "CHECK" "" "" ${ARGN})
  get_filename_component(name "${script}" NAME_WE)
  get_filename_component(script "${script}" ABSOLUTE)
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${name}.payload.rc")
  set(check OFF)
  if(arg_CHECK)
    set(check ON)
  endif()
  get_filename_component(dir "${script}" DIRECTORY)
  file(GLOB_RECURSE payload_files CONFIGURE_DEPENDS "${dir}/Files/*" "${PROJECT_SOURCE_DIR}/payload/Files/*")
  add_custom_command(
    OUTPUT "${rc}"
    COMMAND ${CMAKE_COMMAND} -DSCRIPT=${script} -DOUTPUT=${rc} -DCHECK=${check}
            -P ${PROJECT_SOURCE_DIR}/cmake/ManifestScript.cmake
    DEPENDS "${script}" ${PROJECT_SOURCE_DIR}/cmake/ManifestScript.cmake ${payload_files}
    COMMENT "Checking and compiling the payload script ${name}"
    VERBATIM)
  # windres does not report the files a script includes: rebuild on any change.
  set_source_files_properties("${rc}" PROPERTIES GENERATED TRUE
    OBJECT_DEPENDS "${script};${payload_files}")
  set(${out_var} "${rc}" PARENT_SCOPE)
endfunction()
