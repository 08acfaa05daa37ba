#!/usr/bin/env bash
# Runs each fuzzer for SECONDS on a scratch copy of its corpus, so the committed corpus stays as it
# is. Configures and builds BUILD_DIR (clang, ASan+UBSan) first, unless FUZZ_NO_BUILD is set (the
# fuzz-short and fuzz-long targets have built it). Findings go to BUILD_DIR/tests/fuzz/fuzz-artifacts/;
# replay one with BUILD_DIR/tests/fuzz/<fuzzer> <file>. Exit status 1 when any fuzzer fails.
#   tests/fuzz/run_fuzz.sh SECONDS [BUILD_DIR]
set -u
if ! [[ ${1:-} =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 SECONDS [BUILD_DIR]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../../build-fuzz}
fuzzers=(fuzz_compound_writer fuzz_command_line fuzz_intel_hex fuzz_srecord fuzz_elf fuzz_serials_file fuzz_record_reader)
if [[ -z ${FUZZ_NO_BUILD:-} ]]; then
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVORLA_FUZZ=ON \
      -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
  fi
  cmake --build "$build" -j2 --target "${fuzzers[@]}" || exit 1
fi
# Absolute: the fuzzers work inside scratch folders.
work=$(cd "$build/tests/fuzz" && pwd) || exit 1
failed=0
for f in "${fuzzers[@]}"; do
  rm -rf "$work/scratch-corpus/$f"
  mkdir -p "$work/scratch-corpus/$f" "$work/fuzz-artifacts"
  cp "$here/corpus/$f/"* "$work/scratch-corpus/$f/"
  # The outer timeout only catches a fuzzer that stops honouring max_total_time.
  if timeout $(($1 + 120)) "$work/$f" -max_total_time="$1" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$here/$f.dict" -artifact_prefix="$work/fuzz-artifacts/$f-" "$work/scratch-corpus/$f" >"$work/$f.log" 2>&1; then
    echo "PASS $f: $(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$f.log") runs in $1 s"
  else
    echo "FAIL $f (log: $work/$f.log)"
    tail -n 40 "$work/$f.log"
    failed=1
  fi
done
exit $failed
