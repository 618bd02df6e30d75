#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need (Debian).
set -euo pipefail

# Build: CMake, Ninja, g++, Nettle. Tests and benchmarks: GoogleTest, Google
# Benchmark, and the two INI libraries the INI benchmark measures against.
# Fuzzing: clang with its libFuzzer runtime. Windows DLL: mingw-w64. The
# service: SQLite and libxcrypt. Windows test build: the x86-64 -posix
# compilers (std::thread), GoogleTest's sources to build with them, and Wine
# to run the tests.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev nettle-dev pkg-config
          libinih-dev libsimpleini-dev clang libclang-rt-14-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 libsqlite3-dev libcrypt-dev
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
