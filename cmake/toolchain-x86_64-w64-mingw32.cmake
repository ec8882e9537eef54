# 64-bit Windows, cross-built with mingw-w64 (Debian: g++-mingw-w64-x86-64).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
