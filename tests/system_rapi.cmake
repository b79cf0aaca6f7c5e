# Puts the simulated device's library where a provider puts RAPI.DLL: the
# system directory of the Wine prefix WINEPREFIX (from the environment),
# system32 for the x86_64 build and syswow64 for the i686 one.
#
#   cmake -DFROM=build/x64/devicesim/RAPI.DLL -DFOLDER=system32 -P system_rapi.cmake

if(NOT DEFINED ENV{WINEPREFIX} OR NOT EXISTS "$ENV{WINEPREFIX}/drive_c/windows/${FOLDER}")
  message(FATAL_ERROR "No Wine prefix with a ${FOLDER} folder in WINEPREFIX: run the tests "
                      "through scripts/test, or source scripts/lib/common.sh first")
endif()
file(COPY_FILE "${FROM}" "$ENV{WINEPREFIX}/drive_c/windows/${FOLDER}/RAPI.DLL")
message(STATUS "RAPI.DLL in ${FOLDER}: ${FROM}")
