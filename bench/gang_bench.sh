#!/usr/bin/env bash
# vorla-gang against separate stations: N simulated boards at the line rate served once by
# N vorlaloader -s processes started together, and once by one vorla-gang -s with N ports,
# in the same run. Prints wall times, their ratio and the gang's own CPU.
#
# Usage: bench/gang_bench.sh [BUILD_DIR] [SLOTS ...]   (default: build-normal, 1 8 32)
# About a minute for the default; everything lives in a temporary folder, removed at the end.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build-normal}
shift || true
slots=("$@")
((${#slots[@]})) || slots=(1 8 32)
build=$(cd "$build" && pwd)
tool=$build/src/vorlaloader
gang=$build/src/vorla-gang
sim=$build/tools/devsim/vorla-devsim
for need in "$tool" "$gang" "$sim"; do [[ -x $need ]] || { echo "missing: $need" >&2; exit 2; }; done

work=$(mktemp -d /tmp/vorla-gang-bench.XXXXXX)
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
head -c 3000 /dev/urandom >boot.sdb
head -c 16384 /dev/urandom >app.bin

now() { date +%s.%N; }

# Starts n simulators at the line rate, links p1..pN; returns once all are linked.
start_sims() {
  sims=()
  for ((i = 1; i <= $1; i++)); do
    rm -f "p$i" "p$i.log" "p$i.json"
    "$sim" --link "$work/p$i" --report "$work/p$i.json" --boot boot.sdb --line-rate --timeout 300 >"p$i.log" &
    sims+=($!)
  done
  for ((i = 1; i <= $1; i++)); do
    until grep -q "PTY " "p$i.log" 2>/dev/null; do sleep 0.05; done
  done
}
# A simulator whose board was served has ended; one that still waits is ended now.
stop_sims() {
  sleep 0.5
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${sims[@]}"; do wait "$p" 2>/dev/null || true; done
  sims=()
}
ports() {
  local list=""
  for ((i = 1; i <= $1; i++)); do list+="${list:+,}$work/p$i"; done
  echo "$list"
}
# Every board of the run holds the image.
all_flashed() {
  local ok=0
  for ((i = 1; i <= $1; i++)); do grep -q '"rebooted": *true' "p$i.json" 2>/dev/null && ok=$((ok + 1)); done
  echo "$ok"
}

printf '| Slots | Separate stations | One gang | Ratio separate / gang | Gang CPU (own) | Boards verified |\n'
printf '|---|---|---|---|---|---|\n'
for n in "${slots[@]}"; do
  start_sims "$n"
  t0=$(now)
  pids=()
  for ((i = 1; i <= n; i++)); do "$tool" -s "$work/p$i" boot.sdb app.bin 0xf00000 >/dev/null & pids+=($!); done
  for p in "${pids[@]}"; do wait "$p" || true; done
  t_sep=$(awk -v a="$t0" -v b="$(now)" 'BEGIN{printf "%.2f", b-a}')
  stop_sims
  sep_ok=$(all_flashed "$n")

  start_sims "$n"
  t0=$(now)
  "$gang" -s "$(ports "$n")" boot.sdb app.bin 0xf00000 >gang.out &
  gp=$!
  ticks=0
  # The gang's own CPU (not its children's): the last reading of its /proc stat.
  while [[ -r /proc/$gp/stat ]]; do
    t=$(awk '{print $14 + $15}' "/proc/$gp/stat" 2>/dev/null || echo "$ticks")
    [[ -n $t ]] && ticks=$t
    sleep 0.1
  done
  wait "$gp" || true
  t_gang=$(awk -v a="$t0" -v b="$(now)" 'BEGIN{printf "%.2f", b-a}')
  stop_sims
  gang_ok=$(all_flashed "$n")
  hz=$(getconf CLK_TCK)
  printf '| %d | %s s | %s s | %s | %s %% of one core | %d + %d of %d |\n' "$n" "$t_sep" "$t_gang" \
    "$(awk -v a="$t_sep" -v b="$t_gang" 'BEGIN{printf "%.3f", a/b}')" \
    "$(awk -v t="$ticks" -v hz="$hz" -v w="$t_gang" 'BEGIN{printf "%.2f", 100*t/hz/w}')" "$sep_ok" "$gang_ok" "$((2 * n))"
done
