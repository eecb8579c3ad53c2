# Shared part of the Linux cross toolchain files; set KALVICOM_CROSS_TRIPLE (the Debian cross
# compiler's prefix), KALVICOM_CROSS_PROCESSOR and KALVICOM_QEMU (qemu-user's program for the
# architecture) before including it.
#
# Debian's cross compilers (g++-TRIPLE) install the target's C library under /usr/TRIPLE, which is
# where CMake looks for the target's libraries and headers; GoogleTest is built from source for the
# target (an installed GoogleTest package is the build machine's). Programs run under qemu-user,
# which finds the target's loader and libraries through -L; no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KALVICOM_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${KALVICOM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KALVICOM_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KALVICOM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KALVICOM_QEMU_PROGRAM ${KALVICOM_QEMU})
if(KALVICOM_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KALVICOM_QEMU_PROGRAM} -L /usr/${KALVICOM_CROSS_TRIPLE})
endif()
