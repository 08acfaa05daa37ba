#!/usr/bin/env bash
# Runs every test: the normal build and a short chaos soak, then AddressSanitizer + UndefinedBehaviorSanitizer,
# then ThreadSanitizer, then 10 s of each fuzzer, then the Windows build under Wine.
# Installs missing packages first.
# Usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
if ((quick)); then scripts/deps.sh; else scripts/deps.sh --all; fi

run_suite() {  # name, extra cmake arguments...
  local name=$1
  shift
  local dir=build-$name
  echo "== $name: build"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  ninja -C "$dir" -j2 >"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
  echo "== $name: tests"
  (cd "$dir" && ctest -j2 --output-on-failure --timeout 300)
}

run_suite normal
if ((quick)); then exit 0; fi
echo "== soak: 20 devices with seeded faults"
tests/soak/run_soak.sh build-normal 20
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_suite asan -DVORLA_SANITIZE=address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite tsan -DVORLA_SANITIZE=thread

echo "== fuzz: 10 s per target"
tests/fuzz/run_fuzz.sh 10 build-fuzz

echo "== windows: cross build"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build-win -j2 >build-win.log 2>&1 || { cat build-win.log; exit 1; }
echo "== windows: end-to-end under Wine (the scenarios that reach Windows code; the others are skipped)"
VORLA_E2E_EXE="$PWD/build-win/src/vorlaloader.exe" build-normal/tests/e2e_tests
