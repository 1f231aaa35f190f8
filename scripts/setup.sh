#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12
# machine (run as root). Quick when everything is already there.
set -u

PACKAGES=(
  cmake ninja-build g++
  g++-mingw-w64-i686 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix googletest
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  libssl-dev nlohmann-json3-dev libgtest-dev
  pkg-config libhiredis-dev libcpp-httplib-dev libboost-dev libspdlog-dev libjemalloc-dev redis-server curl
  prometheus  # promtool: the service's /metrics is checked with it
  wrk  # the server kit's verification benchmark
  socat  # the server kit's tunnel to a TLS-only Redis, in its tests
  clang clang-14 clang-tools-14 lld-14 llvm-14 libclang-rt-14-dev
  libxml2-utils  # xmllint: the QA bundle test reads the run's JUnit XML
  golang-go golang-github-getkin-kin-openapi-dev  # the server kit's OpenAPI check
  # The server kit's packaging tests: systemd-analyze verify/security on the
  # unit; dpkg-shlibdeps and file for cpack -G DEB's Depends.
  systemd dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]] && command -v i686-w64-mingw32-g++-posix >/dev/null; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 || exit 1
fi

# The i386 half of the security suite can lag behind amd64 ("Mirror sync in
# progress"): apt-get update then fails for that one index only, and the
# other indexes are still usable.
$SUDO apt-get update -q || echo "setup: apt-get update reported a failed index; going on" >&2

# Multi-arch libraries must carry the same version in both halves. When the
# lagging index makes the resolver give up, take both halves from the main
# suite instead.
if ! $SUDO apt-get install -y -q --no-install-recommends "${PACKAGES[@]}"; then
  echo "setup: plain install failed; retrying from the bookworm suite" >&2
  $SUDO apt-get install -y -q --no-install-recommends -t bookworm "${PACKAGES[@]}" || exit 1
fi

command -v i686-w64-mingw32-g++-posix >/dev/null || { echo "setup: mingw posix compiler missing" >&2; exit 1; }
command -v x86_64-w64-mingw32-gcc-posix >/dev/null || { echo "setup: 64-bit mingw compiler missing" >&2; exit 1; }
command -v wine >/dev/null || { echo "setup: wine missing" >&2; exit 1; }
command -v redis-server >/dev/null || { echo "setup: redis-server missing" >&2; exit 1; }
exit 0
