#!/usr/bin/env bash
# The whole test suite: the one command the README and CI run.
#
#   scripts/test.sh              every stage, in the order of STAGES (what CI runs)
#   scripts/test.sh STAGE...     only the stages named, e.g. `scripts/test.sh cross clang`
#   scripts/test.sh --list       the stage names, one a line
#
# Each stage is a function stage_NAME below and its NAME in STAGES. A stage builds into its own
# folder under build-test/ and runs its tests with run_ctest, which prints "LABEL: N passed,
# M failed" for that run; the lines are repeated together at the end. To add a stage, write its
# function and add its name to STAGES.
set -euo pipefail
cd "$(dirname "$0")/.."

STAGES=(
  native
  impaired
  sanitize
  fuzz
  windows
  release
  cross
  clang
)

summary=()
passed_total=0
skipped_total=0

banner() { printf '\n=== %s ===\n' "$*"; }

# configure DIR CMAKE-ARGS...: configures build-test/DIR from the source tree.
configure() {
  local dir=$1
  shift
  cmake -S . -B "build-test/$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# build DIR [TARGET...]: builds build-test/DIR (everything, or the targets named).
build() {
  local dir=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "build-test/$dir" -j "$jobs" "${targets[@]}"
}

# run_ctest LABEL DIR [CTEST-ARGS...]: runs CTest in build-test/DIR and records how many tests
# passed, failed and were skipped under LABEL (a stage or an architecture), counted from the JUnit
# file CTest writes (build-test/DIR/ctest.xml). A failure ends the run.
run_ctest() {
  local label=$1 dir=$2
  shift 2
  local junit="$PWD/build-test/$dir/ctest.xml" rc=0
  rm -f "$junit"
  ctest --test-dir "build-test/$dir" --output-on-failure --output-junit "$junit" -j "$jobs" "$@" || rc=$?
  local total failed skipped
  total=$(junit_count tests "$junit")
  failed=$(junit_count failures "$junit")
  skipped=$(($(junit_count skipped "$junit") + $(junit_count disabled "$junit")))
  if [ "$total" -eq 0 ]; then
    record "$label: no tests ran"
    [ "$rc" -ne 0 ] || rc=1
  else
    record "$label: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
    passed_total=$((passed_total + total - failed - skipped))
    skipped_total=$((skipped_total + skipped))
  fi
  if [ "$rc" -ne 0 ]; then
    print_summary
    echo "$label: CTest failed in build-test/$dir" >&2
    exit 1
  fi
}

# junit_count ATTRIBUTE FILE: a count of the <testsuite> element of CTest's JUnit file (0 when the
# file is missing: no tests ran).
junit_count() {
  local value=""
  if [ -f "$2" ]; then
    value=$(grep -o -m 1 "[[:space:]]$1=\"[0-9]*\"" "$2" | tr -dc 0-9 || true)
  fi
  echo "${value:-0}"
}

record() {
  summary+=("$1")
  printf '%s\n' "$1"
}

print_summary() {
  [ ${#summary[@]} -eq 0 ] && return 0
  banner "summary"
  printf '%s\n' "${summary[@]}"
}

# --- the stages ----------------------------------------------------------------------------------

stage_native() {
  banner "native build and tests"
  configure native
  build native
  run_ctest native native -LE impaired
}

stage_impaired() {
  # The lanes of tests/impaired_test.cpp (label impaired) on the native build: ports over bad
  # links between two network namespaces, up to 10 minutes each. They mostly wait, so all run side
  # by side; here only, not under the sanitizers, clang or qemu, whose builds change nothing in
  # what they measure (the system's TCP timing). As root; skipped with the reason otherwise.
  banner "impaired links: lossy, slow and bursty networks between two namespaces"
  [ -f build-test/native/CMakeCache.txt ] || configure native
  build native impaired_test
  local lanes
  lanes=$(ctest --test-dir build-test/native -N -L impaired | sed -n 's/^Total Tests: //p')
  KALVICOM_IMPAIRED=1 run_ctest impaired native -L impaired -j "${lanes:-1}"
}

stage_sanitize() {
  banner "sanitizers: the suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  # Any report ends the test that caused it (halt on error), leaks included. Only the impaired
  # links are left out (their own stage runs them once); the valgrind leak check is simply not
  # built here, since valgrind cannot run sanitized programs.
  configure sanitize -DKALVICOM_SANITIZE=ON
  build sanitize
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest sanitize sanitize -LE impaired
}

stage_fuzz() {
  # Each target fuzzes a copy of its committed corpus, so the repository stays as it is, with the
  # flags of its fuzz/TARGET.options ([libfuzzer] section); KALVICOM_FUZZ_SECONDS, when set,
  # replaces their max_total_time. A failing input is kept in build-test/fuzz/run/TARGET/.
  banner "fuzzing: libFuzzer, each target as its fuzz/TARGET.options says"
  CC=clang CXX=clang++ configure fuzz \
    -DKALVICOM_FUZZ=ON -DKALVICOM_TESTS=OFF -DKALVICOM_TOOLS=OFF -DKALVICOM_EXAMPLES=OFF
  build fuzz
  local options name work flags
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
}

stage_windows() {
  banner "windows: the x86_64 DLL under Wine, the i686 DLL read without running"
  # Debian's MinGW-w64 cross compilers and wine64. The x86_64 DLL runs the whole suite under Wine.
  # The i686 DLL cannot run here (no 32-bit code runs on these machines): its export table, its
  # import library, the stack cleanup of each export and a C caller's imports are read instead.
  # Its kvterm.exe is built for the release's win32 zip.
  configure win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
  build win64
  run_ctest x86_64-windows win64
  configure win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DKALVICOM_EXAMPLES=OFF
  build win32
  run_ctest i686-windows win32
}

stage_cross() {
  banner "cross: aarch64, armhf (32-bit) and s390x (big-endian) under qemu-user"
  # Debian's cross compilers, with GoogleTest built from source for each target; the tests and the
  # peer driver run under qemu-user, against device servers of the build machine. The tools and
  # examples are left out: their tests start the programs directly, which needs the build
  # machine's architecture, and they hold nothing that differs by architecture. No debug
  # information: it would cost a third of the build time, and nothing here reads it. The netns
  # test (label netns) is left out: it waits about a minute on the build machine's own TCP
  # time-outs, which no architecture changes, and under qemu-user it does not finish (it ran into
  # its 300 s limit on aarch64). The impaired links (label impaired) are left out for the same
  # reason.
  local arch
  for arch in aarch64 armhf s390x; do
    configure "$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$arch.cmake" -DKALVICOM_TOOLS=OFF \
      -DKALVICOM_EXAMPLES=OFF -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
      "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
    build "$arch"
    run_ctest "$arch" "$arch" -LE 'netns|impaired'
  done
}

stage_clang() {
  banner "clang with libc++: the whole suite, valgrind included"
  # GoogleTest is built from source against libc++ (the installed one is built for libstdc++).
  # Debug information as DWARF 4, which valgrind 3.19 reads; clang 14 writes DWARF 5 by default.
  CC=clang CXX=clang++ configure clang -DKALVICOM_GTEST_FROM_SOURCE=ON -DCMAKE_C_FLAGS=-gdwarf-4 \
    "-DCMAKE_CXX_FLAGS=-stdlib=libc++ -gdwarf-4"
  build clang
  run_ctest clang clang -LE impaired
}

stage_release() {
  banner "release packages: scripts/release.sh from the test builds, and what they hold"
  # Packs the native, win64 and win32 builds of the stages above (built again only if missing)
  # into dist/, then checks the packages as a user meets them (tests/install/dist_check.cmake):
  # lintian, the .debs installed into a scratch root and used, the zips' links and versions.
  KALVICOM_RELEASE_REUSE=build-test scripts/release.sh
  cmake -DDIST=dist -DAREA=build-test/dist-check -P tests/install/dist_check.cmake
  # The NuGet package and the wheels, by the example runner of the native build.
  [ -f build-test/native/CMakeCache.txt ] || configure native
  build native example_runner query_cs
  KALVICOM_DIST=$PWD/dist run_ctest release-bindings native -L release
}

# --- which stages --------------------------------------------------------------------------------

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${STAGES[@]}"
  exit 0
fi
selected=("$@")
[ ${#selected[@]} -eq 0 ] && selected=("${STAGES[@]}")
for name in "${selected[@]}"; do
  if [[ " ${STAGES[*]} " != *" $name "* ]]; then
    echo "unknown stage '$name'; the stages are: ${STAGES[*]}" >&2
    exit 2
  fi
done

# On a fresh Debian machine, run as root: missing packages are installed first.
source scripts/packages.sh
ensure_packages "${KALVICOM_TEST_PACKAGES[@]}"
build_settings

for name in "${selected[@]}"; do
  started=$SECONDS
  "stage_$name"
  summary+=("(stage $name took $((SECONDS - started)) s)")
done
print_summary
[ ${#summary[@]} -eq 0 ] || echo "total: $passed_total passed, 0 failed, $skipped_total skipped"
