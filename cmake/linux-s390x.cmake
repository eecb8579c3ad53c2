# 64-bit IBM Z Linux (big-endian) with Debian's cross compiler; programs run under qemu-user:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake
# (Debian packages g++-s390x-linux-gnu and qemu-user.)
set(KALVICOM_CROSS_TRIPLE s390x-linux-gnu)
set(KALVICOM_CROSS_PROCESSOR s390x)
set(KALVICOM_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
