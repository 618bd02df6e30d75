#!/usr/bin/env bash
# Every test: the normal build, the sanitizer build, each benchmark once with
# a minimal time, every fuzz target for a bounded time, the Windows test build
# under Wine, and the Windows DLL cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

echo "== build and test (default)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$jobs"

echo "== benchmarks (one short run each)"
for b in build/default/bench/bench_*; do
  [ -x "$b" ] || continue
  "$b" --benchmark_min_time=0.01 --benchmark_color=false | grep -E '^(BM_|RATIO)' || { echo "benchmark $b failed"; exit 1; }
done

# Every fuzz target (the list VG_FUZZ_TARGETS of fuzz/CMakeLists.txt) runs
# for about 20 s (the INI parser for a minute, the service's dispatcher for
# half a minute) from its checked-in seeds in fuzz/corpus/<target without
# fuzz_>.
fuzz_targets=$(sed -n 's/^set(VG_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
[ -n "$fuzz_targets" ] || { echo "no fuzz targets in fuzz/CMakeLists.txt"; exit 1; }
echo "== fuzzing ($fuzz_targets)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVG_FUZZ=ON -DVG_BUILD_TESTS=OFF -DVG_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target $fuzz_targets -j "$jobs"
for target in $fuzz_targets; do
  name=${target#fuzz_}
  case $target in
    fuzz_parsetext) seconds=60 ;;
    fuzz_dispatch) seconds=30 ;;
    *) seconds=20 ;;
  esac
  echo "-- $target ($seconds s)"
  mkdir -p "build/fuzz/corpus_$name"
  build/fuzz/fuzz/$target -max_total_time=$seconds -print_final_stats=1 -artifact_prefix="build/fuzz/$name-" \
    "build/fuzz/corpus_$name" "fuzz/corpus/$name" 2>&1 | tail -n 3
done

echo "== Windows test build (mingw-w64 x86-64), every suite under Wine"
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j "$jobs"
# One program at a time: they share the Wine prefix's registry and pipe names.
ctest --preset mingw64
# The screening call against a raw CallNamedPipeA, one short run.
cmake/wine-run.sh build/mingw64/bench/bench_screening_win32.exe --short | grep -E '^(repetition|RATIO)' ||
  { echo "benchmark bench_screening_win32 failed"; exit 1; }
WINEPREFIX="$PWD/build/mingw64/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true

echo "== Windows DLL (mingw-w64 i686) and its shape"
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32 -j "$jobs"
echo "all tests passed"
