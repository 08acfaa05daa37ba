#!/usr/bin/env bash
# Runs every test: the format check; the normal build's tests and a short chaos soak; the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer; 10 s of
# each fuzzer; the Windows build, its end-to-end tests under Wine, and both packages.
# Installs missing packages first.
# Usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
if ((quick)); then scripts/deps.sh; else scripts/deps.sh --all; fi
start=$SECONDS

# The end-to-end tests mostly wait on the simulated device, so more of them run at once
# than there are cores.
# The sanitizer builds are Debug builds: they compile in a third of the time, and the tests
# spend their time waiting for the device, not computing.
run_suite() {  # name, parallel tests, build type, extra cmake arguments...
  local name=$1 jobs=$2 type=$3
  shift 3
  local dir=build-$name
  echo "== $name: build ($((SECONDS - start)) s)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  ninja -C "$dir" -j2 >"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
  echo "== $name: tests ($((SECONDS - start)) s)"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 300)
}

if ((!quick)); then
  echo "== format"
  scripts/check_format.sh
fi
run_suite normal 6 RelWithDebInfo
if ((quick)); then exit 0; fi
echo "== soak: 6 devices with seeded faults ($((SECONDS - start)) s)"
tests/soak/run_soak.sh build-normal 6
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_suite asan 4 Debug -DVORLA_SANITIZE=address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite tsan 4 Debug -DVORLA_SANITIZE=thread

echo "== fuzz: 10 s per target ($((SECONDS - start)) s)"
tests/fuzz/run_fuzz.sh 10 build-fuzz

echo "== windows: cross build ($((SECONDS - start)) s)"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build-win -j2 >build-win.log 2>&1 || { cat build-win.log; exit 1; }
scripts/package.sh build-normal build-win
# The .exe that users download: the one in the zip.
rm -rf build-win/zip-check && mkdir build-win/zip-check && unzip -q build-win/vorlaloader-*.zip -d build-win/zip-check
exe=$(ls "$PWD"/build-win/zip-check/*/vorlaloader.exe)
echo "== windows: end-to-end under Wine, the .exe from the zip (rows that reach no Windows code are skipped)"
VORLA_E2E_EXE="$exe" VORLA_E2E_HELPERS="$PWD/build-win/tests/wine" build-normal/tests/e2e_tests
echo "== all tests passed in $((SECONDS - start)) s"
