# Cross-compiles with MinGW-w64 for VESKO_MINGW_PROCESSOR: i686, the build
# users get, or x86_64. The posix thread model, since the default win32 one
# has no std::mutex and GoogleTest needs it. Test programs run through the
# Wine loader, which hands a 32-bit program to Wine's 32-bit side (package
# wine32:i386).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake -DVESKO_MINGW_PROCESSOR=i686 ...
if(NOT VESKO_MINGW_PROCESSOR MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "VESKO_MINGW_PROCESSOR must be i686 or x86_64, not '${VESKO_MINGW_PROCESSOR}'")
endif()
# Checks CMake compiles in their own projects see it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESKO_MINGW_PROCESSOR)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VESKO_MINGW_PROCESSOR})
set(triple ${VESKO_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
