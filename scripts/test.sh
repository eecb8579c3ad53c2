#!/usr/bin/env bash
# The whole test suite: the one command the README and CI run.
# Each stage builds into its own folder under build-test/ and runs its tests with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a fresh Debian machine, run as root: missing packages are installed first.
source scripts/packages.sh
ensure_packages "${KALVICOM_TEST_PACKAGES[@]}"
jobs=$(nproc 2>/dev/null || echo 2)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

stage() { printf '\n=== %s ===\n' "$*"; }

stage "native build and tests"
cmake -S . -B build-test/native "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-test/native -j "$jobs"
ctest --test-dir build-test/native --output-on-failure -j "$jobs"

stage "sanitizers: the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# Any report ends the test that caused it (halt on error), leaks included. Nothing is excluded;
# the valgrind leak check is simply not built here, since valgrind cannot run sanitized programs.
cmake -S . -B build-test/sanitize "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVICOM_SANITIZE=ON
cmake --build build-test/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-test/sanitize --output-on-failure -j "$jobs"

# Each target fuzzes a copy of its committed corpus, so the repository stays as it is, with the
# flags of its fuzz/TARGET.options ([libfuzzer] section); KALVICOM_FUZZ_SECONDS, when set, replaces
# their max_total_time. A failing input is kept in build-test/fuzz/run/TARGET/.
stage "fuzzing: libFuzzer, each target as its fuzz/TARGET.options says"
CC=clang CXX=clang++ cmake -S . -B build-test/fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALVICOM_FUZZ=ON -DKALVICOM_TESTS=OFF -DKALVICOM_TOOLS=OFF -DKALVICOM_EXAMPLES=OFF
cmake --build build-test/fuzz -j "$jobs"
for options in fuzz/*.options; do
  name=$(basename "$options" .options)
  mapfile -t flags < <(sed -n 's/^ *\([a-z_]*\) *= *\([^ ]*\) *$/-\1=\2/p' "$options")
  [ -n "${KALVICOM_FUZZ_SECONDS:-}" ] && flags+=("-max_total_time=$KALVICOM_FUZZ_SECONDS") # the last one counts
  work=build-test/fuzz/run/$name
  rm -rf "$work" && mkdir -p "$work/corpus" && cp fuzz/corpus/"$name"/* "$work/corpus/"
  if ! build-test/fuzz/fuzz/fuzz_"$name" "${flags[@]}" \
      -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
    tail -n 40 "$work/log"
    echo "fuzz_$name failed; the input is in $work/" >&2
    exit 1
  fi
  echo "fuzz_$name: $(grep -E '^Done [0-9]+ runs' "$work/log")"
done

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

# --- release packages ----------------------------------------------------------------------------
stage "release packages: scripts/release.sh from the test builds, and what they hold"
# Packs the native, win64 and win32 builds above (built again only if missing) into dist/, then
# checks the packages as a user meets them (tests/install/dist_check.cmake).
KALVICOM_RELEASE_REUSE=build-test scripts/release.sh
cmake -DDIST=dist -DAREA=build-test/dist-check -P tests/install/dist_check.cmake
