#!/usr/bin/env bash
# Builds the release packages into dist/, each made by CPack from one build and named with the
# CMake project's version (cmake/package.cmake and cmake/debian.cmake say what each holds):
#   libkalvicom0_VERSION_amd64.deb, libkalvicom-dev_VERSION_amd64.deb, kvterm_VERSION_amd64.deb,
#   kalvicom-VERSION-linux-x86_64.tar.gz                       from the native build
#   kalvicom-VERSION-win64.zip, kalvicom-VERSION-win32.zip     from the MinGW-w64 cross builds
#   Kalvicom.VERSION.nupkg, kalvicom-VERSION-py3-none-*.whl  scripts/bindings.sh, from the three
#     native libraries
#
# The builds go into build-release/{native,win64,win32}, configured as Release without tests. With
# KALVICOM_RELEASE_REUSE=DIR, a DIR/native, DIR/win64 or DIR/win32 that is already configured is
# used as it is instead (CI packs the test builds: KALVICOM_RELEASE_REUSE=build-test).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages "${KALVICOM_RELEASE_PACKAGES[@]}"
build_settings

# build NAME [CMAKE ARGS...]: builds one flavour and prints its folder.
build() {
  local name=$1 dir
  shift
  dir=${KALVICOM_RELEASE_REUSE:-build-release}/$name
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    dir=build-release/$name
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DKALVICOM_TESTS=OFF \
      -DKALVICOM_EXAMPLES=OFF "$@" >&2
  fi
  cmake --build "$dir" -j "$jobs" >&2
  echo "$dir"
}

# pack DIR: CPack's packages of the build in DIR, into dist/.
pack() {
  rm -rf "$1/package"
  cpack --config "$1/CPackConfig.cmake" -B "$PWD/$1/package" >&2
  find "$1/package" -maxdepth 1 -type f -exec cp {} dist/ \;
}

rm -rf dist
mkdir -p dist
native=$(build native)
win64=$(build win64 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake")
win32=$(build win32 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-i686.cmake")
for dir in "$native" "$win64" "$win32"; do
  pack "$dir"
done

# The language bindings' packages (.NET, Python), from the same three builds' libraries.
scripts/bindings.sh dist "$native/libkalvicom.so" "$win64/kalvicom.dll" "$win32/kalvicom.dll"
ls -l dist
