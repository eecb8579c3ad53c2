#!/usr/bin/env bash
# Builds the release packages into dist/, all carrying the CMake project's version:
#   kalvicom_VERSION_amd64.deb, kalvicom-VERSION-linux-x86_64.tar.gz   CPack, from the native build
#   kalvicom-VERSION-win64.zip, kalvicom-VERSION-win32.zip              the MinGW-w64 cross builds:
#     bin/kalvicom.dll (and bin/kvterm.exe where the build has it), include/kalvicom.h,
#     lib/kalvicom.lib (Visual Studio), lib/libkalvicom.dll.a (MinGW), README.md
#   Kalvicom.VERSION.nupkg, kalvicom-VERSION-py3-none-*.whl            scripts/bindings.sh, from
#     the three native libraries
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

rm -rf dist
mkdir -p dist

native=$(build native)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$native/CPackConfig.cmake")
rm -rf "$native/package"
cpack --config "$native/CPackConfig.cmake" -B "$PWD/$native/package" >&2
cp "$native"/package/*.deb "$native"/package/*.tar.gz dist/

windows_dlls=()
for flavour in win64:x86_64 win32:i686; do
  name=${flavour%%:*}
  dir=$(build "$name" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-${flavour#*:}.cmake")
  stage=$dir/package/kalvicom-$version-$name
  rm -rf "$dir/package"
  cmake --install "$dir" --prefix "$PWD/$dir/package/installed" --strip >/dev/null
  mkdir -p "$stage/bin" "$stage/include" "$stage/lib"
  for program in kalvicom.dll kvterm.exe; do
    [ -f "$dir/package/installed/bin/$program" ] && cp "$dir/package/installed/bin/$program" "$stage/bin/"
  done
  cp "$dir/package/installed/include/kalvicom.h" "$stage/include/"
  cp "$dir/package/installed/lib/kalvicom.lib" "$stage/lib/"
  cp "$dir/package/installed/lib/kalvicom.dll.a" "$stage/lib/libkalvicom.dll.a"
  cp README.md "$stage/"
  windows_dlls+=("$dir/package/installed/bin/kalvicom.dll")
  (cd "$dir/package" && cmake -E tar cf "$OLDPWD/dist/kalvicom-$version-$name.zip" --format=zip "kalvicom-$version-$name")
done
scripts/bindings.sh dist "$native/libkalvicom.so" "${windows_dlls[@]}"
ls -l dist
