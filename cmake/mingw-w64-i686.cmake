# 32-bit Windows with Debian's MinGW-w64 cross compilers:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DKALVICOM_TESTS=OFF
# Its programs need 32-bit Wine (Debian's wine32); without it, build with the tests off.
set(KALVICOM_MINGW_TRIPLE i686-w64-mingw32)
set(KALVICOM_MINGW_PROCESSOR x86)
set(KALVICOM_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
