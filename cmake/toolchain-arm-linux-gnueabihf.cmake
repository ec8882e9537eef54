# 32-bit ARM Linux (armhf: a Raspberry Pi's 32-bit userland), cross-built with Debian's
# g++-arm-linux-gnueabihf.
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZENDROCAST_DEB_ARCHITECTURE armhf)
set(ZENDROCAST_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
