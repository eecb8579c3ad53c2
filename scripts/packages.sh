# Debian packages the build, the demo and the test suite need, and a helper that installs the
# missing ones. Sourced by .ci/run, scripts/test.sh and scripts/demo.sh.

# Building the library and its tests, and running the demo.
KALVICOM_BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config libgtest-dev googletest python3 ser2net socat)
# Everything the whole suite uses on top: the other device servers, the benchmarks' library, the
# Windows cross build and Wine, clang's fuzzer and sanitizer runtimes, valgrind, tmux for kvterm's
# terminal test, clang's libc++, the Linux cross compilers and qemu-user, and X11's headers (the
# header is tried beside them).
KALVICOM_TEST_PACKAGES=("${KALVICOM_BUILD_PACKAGES[@]}" libbenchmark-dev sredird python3-serial procps
  iproute2 nftables
  mingw-w64 wine64 fonts-wine clang libclang-rt-14-dev valgrind tmux libc++-dev libc++abi-dev
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-s390x-linux-gnu qemu-user libx11-dev)
# The release packages (scripts/release.sh): CPack's Debian packages need dpkg-shlibdeps and file;
# LLVM writes and links Visual Studio import libraries; help2man makes kvterm's manual page; Mono's
# compiler builds the .NET assembly and Python the wheels (scripts/bindings.sh). Their checks run
# lintian, read the version resources with pefile and render the page with man; the tests also run
# the C# example and the bindings under Mono, and install the Python package into a virtual
# environment (python3-venv).
KALVICOM_RELEASE_PACKAGES=(build-essential cmake ninja-build mingw-w64 llvm dpkg-dev file help2man mono-mcs python3)
KALVICOM_TEST_PACKAGES+=(llvm lld dpkg-dev file help2man lintian python3-pefile man-db mono-mcs mono-runtime
  python3-venv)

# build_settings: sets jobs (one per core) and generator (Ninja where it is installed) for the
# scripts' CMake builds; call it after ensure_packages, which may bring Ninja.
build_settings() {
  jobs=$(nproc 2>/dev/null || echo 2)
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  return 0
}

# missing_packages NAME...: prints the names that are not installed (nothing off Debian).
missing_packages() {
  command -v dpkg-query >/dev/null || return 0
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || printf '%s\n' "$p"
  done
}

# ensure_packages NAME...: installs the missing ones with apt-get when running as root, with their
# recommended packages (the suite was proven with them; Wine in particular); otherwise says which
# are missing and fails.
ensure_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages: ${missing[*]} (run as root to have them installed)" >&2
    return 1
  fi
}
