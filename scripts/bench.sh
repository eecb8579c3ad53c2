#!/usr/bin/env bash
# The benchmarks (docs/performance.md): builds with -DKALVICOM_BENCH=ON into build-bench/ and runs
#   codec_bench      decoder and escaper against memcpy
#   loopback_bench   the library against a raw socket on loopback (echo, inbound, outbound)
#   scale_bench      1500 ports open in one process, memory per port
#   peer_compare.py  the library against pyserial on a ser2net echo device (skipped when ser2net,
#                    socat or python3-serial are missing)
#   wine_bench.exe   the Windows DLL against raw Winsock under Wine, against loopback_bench's servers
#                    (skipped when MinGW-w64 or wine64 is missing; KALVICOM_BENCH_WINE=0 skips it)
# A few minutes on a 2-core machine. Every comparison prints its ratio; the exit status is
# non-zero when a target is missed. Set KALVICOM_BENCH_RUNS to change the repetitions (7).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${KALVICOM_BENCH_RUNS:-7}
source scripts/packages.sh
build_settings

stage() { printf '\n=== %s ===\n' "$*"; }

cmake -S . -B build-bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DKALVICOM_BENCH=ON \
  -DKALVICOM_TESTS=OFF -DKALVICOM_TOOLS=OFF >/dev/null
cmake --build build-bench -j 2
bin=build-bench/bench

stage "machine"
grep -m1 'model name' /proc/cpuinfo || true
echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
uname -sr

status=0
stage "decoder and escaper (Google Benchmark, medians of $runs repetitions)"
"$bin/codec_bench" --benchmark_repetitions="$runs" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.1 --benchmark_color=false || status=1

stage "loopback: library against raw socket"
"$bin/loopback_bench" "$runs" || status=1

stage "scale: many ports in one process"
"$bin/scale_bench" 1500 || status=1

stage "against pyserial on ser2net"
if command -v ser2net >/dev/null && command -v socat >/dev/null && /usr/bin/python3 -c 'import serial' 2>/dev/null; then
  /usr/bin/python3 bench/peer_compare.py "$bin/peer_client" 3 || status=1
else
  echo "skipped: needs ser2net, socat and python3-serial"
fi
stage "Windows DLL under Wine: library against raw Winsock"
# Wine turns each Winsock call into requests to its server, so these figures mostly count those
# requests. The wineserver and the program share one CPU, which makes them repeatable (unpinned
# they vary tenfold); the servers are loopback_bench's, on the Linux side.
wine=/usr/lib/wine/wine64
if [ "${KALVICOM_BENCH_WINE:-1}" != 0 ] && [ -x "$wine" ] && command -v x86_64-w64-mingw32-g++ >/dev/null; then
  cmake -S . -B build-bench-win64 "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DKALVICOM_BENCH=ON -DKALVICOM_TESTS=OFF -DKALVICOM_TOOLS=OFF \
    -DKALVICOM_EXAMPLES=OFF >/dev/null
  cmake --build build-bench-win64 -j 2
  export WINEPREFIX=$PWD/build-bench-win64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  coproc servers { exec "$bin/loopback_bench" 1 serve; }
  read -r echo_port source_port _ <&"${servers[0]}"
  taskset -c 1 /usr/lib/wine/wineserver -f -p20 &
  wineserver_pid=$!
  (cd build-bench-win64/bench && taskset -c 1 "$wine" wine_bench.exe "$echo_port" "$source_port" "$runs") || status=1
  kill "$servers_PID"
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  wait "$wineserver_pid" 2>/dev/null || true
else
  echo "skipped: needs mingw-w64 and wine64"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
