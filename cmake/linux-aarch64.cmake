# 64-bit ARM Linux with Debian's cross compiler; programs run under qemu-user:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
# (Debian packages g++-aarch64-linux-gnu and qemu-user.)
set(KALVICOM_CROSS_TRIPLE aarch64-linux-gnu)
set(KALVICOM_CROSS_PROCESSOR aarch64)
set(KALVICOM_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
