# vesko_payload_rc(OUT_VAR SCRIPT [CHECK])
# Compiles a payload resource script: the script itself becomes resource R1,
# each row names a resource of type EXEFILE. With CHECK the script is first
# refused when the program would misread it (tools/manifest_script.py, the
# one place of the row rule outside the program). OUT_VAR receives the
# generated .rc to add to a target's sources.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VESKO_MANIFEST_TOOL ${PROJECT_SOURCE_DIR}/tools/manifest_script.py)

function(vesko_payload_rc out_var script)
  cmake_parse_arguments(arg "CHECK" "" "" ${ARGN})
  get_filename_component(name "${script}" NAME_WE)
  get_filename_component(script "${script}" ABSOLUTE)
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${name}.payload.rc")
  set(mode "")
  if(NOT arg_CHECK)
    set(mode "--unchecked")
  endif()
  get_filename_component(dir "${script}" DIRECTORY)
  file(GLOB_RECURSE payload_files CONFIGURE_DEPENDS "${dir}/Files/*" "${PROJECT_SOURCE_DIR}/payload/Files/*")
  add_custom_command(
    OUTPUT "${rc}"
    COMMAND ${Python3_EXECUTABLE} ${VESKO_MANIFEST_TOOL} ${script} --rc ${rc} ${mode}
    DEPENDS "${script}" ${VESKO_MANIFEST_TOOL} ${payload_files}
    COMMENT "Checking and compiling the payload script ${name}"
    VERBATIM)
  # windres does not report the files a script includes: rebuild on any change.
  set_source_files_properties("${rc}" PROPERTIES GENERATED TRUE
    OBJECT_DEPENDS "${script};${payload_files}")
  set(${out_var} "${rc}" PARENT_SCOPE)
endfunction()
