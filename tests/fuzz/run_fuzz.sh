#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) when needed and runs each for SECONDS
# on a scratch copy of its corpus, so the committed corpus stays as it is.
#   tests/fuzz/run_fuzz.sh SECONDS [BUILD_DIR]
# Findings go to BUILD_DIR/tests/fuzz/fuzz-artifacts/. Exit status 1 when any target fails.
set -u

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -eq 0 ]; then
  echo "usage: $0 SECONDS [BUILD_DIR]" >&2
  exit 2
fi
seconds=$1
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${2:-$repo/build-fuzz}
targets=(fuzz_parse_address fuzz_command_line fuzz_rx_decision fuzz_compound_writer)

passed=0
failed=0
report_all_failed() {
  for t in "${targets[@]}"; do echo "FAIL $t"; done
  echo "0 passed, ${#targets[@]} failed"
  exit 1
}

if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  cmake -S "$repo" -B "$build" ${generator[@]+"${generator[@]}"} -DCMAKE_CXX_COMPILER=clang++ -DVORLA_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo || report_all_failed
fi
cmake --build "$build" -j2 --target "${targets[@]}" || report_all_failed

work="$build/tests/fuzz"
mkdir -p "$work/fuzz-artifacts"
for t in "${targets[@]}"; do
  scratch="$work/scratch-corpus/$t"
  rm -rf "$scratch"
  mkdir -p "$scratch"
  cp "$here/corpus/$t/"* "$scratch/" 2>/dev/null
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
        -artifact_prefix="$work/fuzz-artifacts/$t-")
  [ -f "$here/$t.dict" ] && args+=(-dict="$here/$t.dict")
  log="$work/$t.log"
  # The outer timeout only catches a fuzzer that stops honouring max_total_time.
  if timeout $((seconds + 120)) "$work/$t" "${args[@]}" "$scratch" >"$log" 2>&1; then
    echo "PASS $t"
    passed=$((passed + 1))
  else
    echo "FAIL $t"
    tail -n 40 "$log"
    failed=$((failed + 1))
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" | sed "s/^/  $t /"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
