# 64-bit Windows with Debian's MinGW-w64 cross compilers; programs run under Debian's wine64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(KALVICOM_MINGW_TRIPLE x86_64-w64-mingw32)
set(KALVICOM_MINGW_PROCESSOR AMD64)
set(KALVICOM_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
