# Cross-compiling mpg.dll and mpg.exe for Windows with Debian's mingw-w64 (the
# posix-threads compilers), for one architecture:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DMPG_WIN_ARCH=i686|x86_64
#         -DMPG_WIN_DEPS=<prefix of the static FFmpeg from scripts/build-windows-deps.sh>
# scripts/build-windows.sh does all of it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MPG_WIN_ARCH)
if(NOT MPG_WIN_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "MPG_WIN_ARCH must be i686 or x86_64")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MPG_WIN_ARCH})
set(MPG_WIN_TRIPLE ${MPG_WIN_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${MPG_WIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MPG_WIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MPG_WIN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MPG_WIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
