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
