# 32-bit ARM Linux (hard float, 32-bit pointers) with Debian's cross compiler; programs run under
# qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake
# (Debian packages g++-arm-linux-gnueabihf and qemu-user.)
set(KALVICOM_CROSS_TRIPLE arm-linux-gnueabihf)
set(KALVICOM_CROSS_PROCESSOR armv7l)
set(KALVICOM_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
