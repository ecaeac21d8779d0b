# Cross build for 64-bit Windows with MinGW-w64 from Linux:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Prefix of the MinGW-w64 tools")
# The compilers of the POSIX thread model: GoogleTest needs std::mutex, which
# the win32 thread model of GCC 12 lacks. winpthread is linked statically.
find_program(KESTREL_MINGW_CXX NAMES ${KESTREL_MINGW_PREFIX}-g++-posix ${KESTREL_MINGW_PREFIX}-g++ REQUIRED)
find_program(KESTREL_MINGW_CC NAMES ${KESTREL_MINGW_PREFIX}-gcc-posix ${KESTREL_MINGW_PREFIX}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here are run on Linux through wine (tests, test discovery).
find_program(KESTREL_WINE NAMES wine wine64)
if(KESTREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_WINE})
endif()
