# Windows cross builds with mingw-w64; the toolchain files set MINGW_TRIPLE and include this.
# The shipped executables use the compiler's Win32 thread model, which keeps the POSIX thread
# library out of them; GoogleTest needs std::mutex, which only the POSIX model has, so test
# builds pass -DZENDROCAST_MINGW_THREADS=posix.
set(ZENDROCAST_MINGW_THREADS win32 CACHE STRING "mingw-w64 thread model: win32 or posix")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-${ZENDROCAST_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${ZENDROCAST_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
