#!/usr/bin/env bash
# The kalvicom demo: no hardware needed.
#
# Builds the library and kvterm, starts a real device server (ser2net) on 127.0.0.1 serving one
# end of a pseudo-terminal pair, and runs kvterm against it: the line settings arrive at the
# serial port, data crosses in both directions (0xFF bytes included), and everything the demo
# started is stopped again on the way out, whatever happens.
#
# On a fresh Debian machine run it as root: it installs the packages it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

step=0
say() { printf '%s\n' "$*"; }
step() { step=$((step + 1)); printf '\n%d. %s\n' "$step" "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }
hex() { od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

say "kalvicom demo: an application drives a serial port on a network device server."

# --- 1. packages ----------------------------------------------------------------------------------
step "Checking the Debian packages the demo needs."
source scripts/packages.sh
missing=()
if ! command -v dpkg-query >/dev/null; then
    say "   Not a Debian system: looking for the programs instead."
    for p in cmake ninja c++ python3 ser2net socat; do command -v "$p" >/dev/null || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] || fail "missing programs: ${missing[*]}. Install them (and GoogleTest) first."
fi
ensure_packages "${KALVICOM_BUILD_PACKAGES[@]}" | sed 's/^/   /' ||
    fail "run this as root on Debian, or install them first."
say "   All there."

# --- 2. build --------------------------------------------------------------------------------------
step "Building the library, kvterm and the tests into build/ (cmake, ninja)."
generator=(-G Ninja)
[ -f build/CMakeCache.txt ] && generator=() # keep the generator an earlier build chose
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >build-demo.log 2>&1 ||
    { cat build-demo.log; fail "cmake could not configure the build"; }
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >>build-demo.log 2>&1 ||
    { tail -40 build-demo.log; fail "the build failed"; }
rm -f build-demo.log
kvterm=build/tools/kvterm
[ -x "$kvterm" ] || fail "the build made no $kvterm"
say "   Built: build/libkalvicom.so and $kvterm."

# --- everything started from here on is stopped on exit ------------------------------------------
work=$(mktemp -d /tmp/kalvicom-demo.XXXXXX)
pids=()
cleanup() {
    exec 3>&- 4<&- 2>/dev/null || true
    python3 scripts/ser2net.py stop "$work" || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- 3. the serial line and the device server ------------------------------------------------------
step "Making a serial line out of two pseudo-terminals joined by socat; ser2net serves one end."
python3 scripts/ser2net.py start "$work" pair >"$work/start.log" 2>&1 ||
    fail "ser2net did not start: $(cat "$work/start.log")"
device=$work/device
far=$work/far
port=$(cat "$work/ser2net.port")
exec 4<>"$far" # the demo plays the serial device at this end of the line
say "   $device is the serial port the server drives;"
say "   $far is the device at the other end of the cable (played by this script)."
say "   ser2net listens on 127.0.0.1:$port (RFC 2217)."
say "   The serial port starts at $(stty -F "$device" speed) baud."

# --- 4. kvterm connects and sets the line ----------------------------------------------------------
step "Running kvterm 127.0.0.1:$port --baud 9600 --data 8 --parity none --stop 2"
mkfifo "$work/input"
"$kvterm" "127.0.0.1:$port" --baud 9600 --data 8 --parity none --stop 2 \
    <"$work/input" >"$work/output" 2>"$work/kvterm.log" &
kvterm_pid=$!
pids+=("$kvterm_pid")
exec 3>"$work/input" # kvterm's standard input: what the application sends
# The settings arrive one command after the other: the stop bits come last.
line_set() { stty -F "$device" -a | grep -q 'speed 9600 baud' && stty -F "$device" -a | grep -qE '(^| )cstopb( |$)'; }
for _ in $(seq 100); do line_set && break; sleep 0.05; done
line_set || fail "the serial port did not change to 9600 baud, 2 stop bits: $(stty -F "$device" -a)"
say "   The serial port now runs at 9600 baud with 2 stop bits. stty on the port shows:"
stty -F "$device" -a | grep -E 'speed|cstopb' | sed 's/^/     /'
say "   (A pseudo-terminal shows baud rate and stop bits; data bits and parity it does not keep.)"

# --- 5. application -> device ---------------------------------------------------------------------
step "The application sends text and raw bytes through kvterm to the device."
to_device=$work/to-device
printf 'Hello, device!\r\n\377\000\377\377 binary\r\n' >"$to_device"
cat "$to_device" >&3
size=$(stat -c %s "$to_device")
timeout 5 dd bs=1 count="$size" status=none <&4 >"$work/device-got" || true
say "   sent     ($size bytes): $(hex <"$to_device")"
say "   received ($(stat -c %s "$work/device-got") bytes): $(hex <"$work/device-got")"
cmp -s "$to_device" "$work/device-got" || fail "the device did not receive exactly what was sent"
say "   The device received exactly what was sent, the 0xFF bytes included."

# --- 6. device -> application ---------------------------------------------------------------------
step "The device answers; kvterm writes what arrives to its standard output."
from_device=$work/from-device
printf 'Hello, application!\r\n\377\377\001\002\377 end\r\n' >"$from_device"
cat "$from_device" >&4
exec 3>&- # end of kvterm's input: it shows what is still arriving, then ends
status=0
wait "$kvterm_pid" || status=$?
[ "$status" -eq 0 ] || fail "kvterm ended with status $status: $(cat "$work/kvterm.log")"
say "   device sent     ($(stat -c %s "$from_device") bytes): $(hex <"$from_device")"
say "   kvterm printed  ($(stat -c %s "$work/output") bytes): $(hex <"$work/output")"
cmp -s "$from_device" "$work/output" || fail "kvterm did not print exactly what the device sent"
say "   The application received exactly what the device sent, the 0xFF bytes included."

# --- 7. the hex dump ------------------------------------------------------------------------------
step "The same once more with kvterm --hex, which shows what arrives as a hex dump:"
"$kvterm" "127.0.0.1:$port" --hex <"$work/input" >"$work/dump" 2>"$work/kvterm.log" &
kvterm_pid=$!
pids+=("$kvterm_pid")
exec 3>"$work/input"
sleep 0.5 # kvterm is connected and settled: the answer must not come in its first moments
printf 'Hello again \377\r\n' >&4
sleep 0.3
exec 3>&-
status=0
wait "$kvterm_pid" || status=$?
[ "$status" -eq 0 ] || fail "kvterm --hex ended with status $status: $(cat "$work/kvterm.log")"
sed 's/^/   /' "$work/dump"
grep -q '48 65 6c 6c 6f 20 61 67  61 69 6e 20 ff 0d 0a' "$work/dump" || fail "the hex dump is not as expected"

# --- 8. cleanup -----------------------------------------------------------------------------------
step "Stopping ser2net and socat."
cleanup
pids=()
trap - EXIT
say "   Stopped; nothing the demo started is left running."

printf '\nDemo finished successfully: kvterm drove a serial port through ser2net, the line\n'
printf 'settings reached the port, and every byte crossed exactly in both directions.\n'
