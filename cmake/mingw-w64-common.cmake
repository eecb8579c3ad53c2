# Shared part of the MinGW-w64 toolchain files; set KALVICOM_MINGW_TRIPLE before including it.
#
# Debian ships each MinGW-w64 compiler in two threading flavours. The "posix" one (winpthreads)
# is taken because it has std::thread, which the tests use; everything is linked statically, so
# neither the DLL nor the test programs need MinGW's runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KALVICOM_MINGW_PROCESSOR})

foreach(tool gcc g++)
  if(EXISTS /usr/bin/${KALVICOM_MINGW_TRIPLE}-${tool}-posix)
    set(compiler_${tool} ${KALVICOM_MINGW_TRIPLE}-${tool}-posix)
  else()
    set(compiler_${tool} ${KALVICOM_MINGW_TRIPLE}-${tool})
  endif()
endforeach()
set(CMAKE_C_COMPILER ${compiler_gcc})
set(CMAKE_CXX_COMPILER ${compiler_g++})
set(CMAKE_RC_COMPILER ${KALVICOM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KALVICOM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs run under Wine with a prefix of their own inside the build folder (created at the first
# start, which takes several seconds), quietly, and without offering to install Mono or Gecko.
if(KALVICOM_WINE_LOADER AND EXISTS ${KALVICOM_WINE_LOADER})
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env
    WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
    WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml="
    ${KALVICOM_WINE_LOADER})
endif()
