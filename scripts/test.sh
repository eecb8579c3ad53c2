#!/usr/bin/env bash
# The whole test suite: the one command the README and CI run.
# Each stage builds into its own folder under build-test/ and runs its tests with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

stage() { printf '\n=== %s ===\n' "$*"; }

stage "native build and tests"
cmake -S . -B build-test/native "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-test/native -j "$jobs"
ctest --test-dir build-test/native --output-on-failure -j "$jobs"

stage "windows (x86_64 DLL under Wine)"
# Debian's MinGW-w64 cross compilers and wine64 (.ci/run installs both). The x86_64 DLL runs the
# whole suite under Wine; the i686 DLL (32-bit Wine is not installed) is built, its export table
# checked, and a C caller linked against its import library.
cmake -S . -B build-test/win64 "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build build-test/win64 -j "$jobs"
ctest --test-dir build-test/win64 --output-on-failure -j "$jobs"
cmake -S . -B build-test/win32 "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DKALVICOM_TESTS=OFF -DKALVICOM_TOOLS=OFF \
  -DKALVICOM_EXAMPLES=OFF
cmake --build build-test/win32 -j "$jobs"
cmake -DLIBRARY=build-test/win32/kalvicom.dll -DOBJDUMP=i686-w64-mingw32-objdump -P tests/check_exports.cmake
i686-w64-mingw32-gcc -Wall -Wextra -Werror -Iinclude tests/windows/c_caller.c build-test/win32/kalvicom.dll.a \
  -Wl,--disable-stdcall-fixup -o build-test/win32/c_caller.exe
echo "i686: c_caller links against kalvicom.dll.a"
