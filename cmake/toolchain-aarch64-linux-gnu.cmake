# 64-bit ARM Linux (arm64), cross-built with Debian's g++-aarch64-linux-gnu.
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZENDROCAST_DEB_ARCHITECTURE arm64)
set(ZENDROCAST_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
