# Cross-builds quietd for 64-bit Windows with Debian's mingw-w64:
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUIETD_MINGW_TRIPLE x86_64-w64-mingw32)
# The win32 thread model: quietd makes its threads with CreateThread and needs no winpthread.
set(CMAKE_CXX_COMPILER ${QUIETD_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${QUIETD_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIETD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ and GCC run-times go into the .exe, so that it runs on a machine without them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
