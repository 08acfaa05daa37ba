#!/usr/bin/env bash
# Runs every Vorla Loader benchmark in one go and prints one table of figures.
#
# Usage: bench/run_benchmarks.sh [--write-doc] [--quick] [--events-only] [BUILD_DIR]
#   BUILD_DIR    a build holding vorlaloader, vorla-devsim, bench_probe and libvorla_iotap
#                (default: build-normal in the repository when complete, else /tmp/build-bench)
#   --write-doc  also regenerate docs/performance.md from this run
#   --quick      small images and short windows: checks the driver itself, figures not
#                comparable (refuses --write-doc)
#   --events-only  only figure 6, the cost of the event stream (about 100 s)
#
# Needs sx (lrzsz), stty and /usr/bin/time. About 4 minutes; everything it makes lives in a
# temporary folder under /tmp, removed at the end. Never run by ctest.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
write_doc=0
quick=0
events_only=0
build=""
for arg in "$@"; do
  case $arg in
    --write-doc) write_doc=1 ;;
    --quick) quick=1 ;;
    --events-only) events_only=1 ;;
    -h | --help)
      sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
if (((quick || events_only) && write_doc)); then
  echo "--quick figures are not for the document; run without --quick" >&2
  exit 2
fi

complete_build() {
  [[ -x $1/src/vorlaloader && -x $1/tools/devsim/vorla-devsim && -x $1/bench/bench_probe && -f $1/bench/libvorla_iotap.so ]]
}
if [[ -z $build ]]; then
  for candidate in "$repo/build-normal" /tmp/build-bench; do
    if complete_build "$candidate"; then build=$candidate; break; fi
  done
  [[ -n $build ]] || { echo "no complete build found; build one, e.g.:" >&2
    echo "  cmake -S $repo -B /tmp/build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C /tmp/build-bench -j2" >&2; exit 2; }
fi
build=$(cd "$build" && pwd)
complete_build "$build" || { echo "$build lacks vorlaloader, vorla-devsim or the bench helpers" >&2; exit 2; }

tool=$build/src/vorlaloader
sim=$build/tools/devsim/vorla-devsim
probe=$build/bench/bench_probe
tap=$build/bench/libvorla_iotap.so
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
have_sx=0
command -v sx >/dev/null && have_sx=1
for need in stty /usr/bin/time awk; do
  command -v "$need" >/dev/null || { echo "missing: $need" >&2; exit 2; }
done

# ---- sizes and limits ----
LINE_RATE=115200
LINE_BPS=$((LINE_RATE / 10))                                   # 8N1: 10 bits a byte
XM_LIMIT=$(awk -v b=$LINE_BPS 'BEGIN{printf "%.1f", b*1024/1029}')  # payload B/s of XMODEM-1K
REBOOT_SLEEP_MS=3000
if ((quick)); then
  XFER_KIB=64; RAW_ROUNDS=1; FLOOR_RUNS=3; COPY_ROUNDS=3; BIG_MIB=64; MEM_BIG_MIB=96
  SILENT_S=2; PAUSE_S=3
else
  XFER_KIB=1024; RAW_ROUNDS=5; FLOOR_RUNS=7; COPY_ROUNDS=5; BIG_MIB=64; MEM_BIG_MIB=256
  SILENT_S=10; PAUSE_S=19.9  # the pause is 200 sleeps of 100 ms: stay just inside it
fi

work=$(mktemp -d /tmp/vorla-bench.XXXXXX)
# Only jobs this shell still knows as running are signalled: their pids cannot have been
# reused by another process yet.
running() { jobs -rp | grep -qx "$1"; }
stop_pid() {
  if running "$1"; then kill -TERM "$1" 2>/dev/null || true; fi
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local p
  for p in $(jobs -rp); do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

die() { echo "run_benchmarks: $*" >&2; exit 1; }
note() { printf '  %s\n' "$*" >&2; }
kv() { sed -n "s/^$2=//p" "$1" | head -n 1; }  # file, key
median() { sort -g | awk '{a[NR]=$1} END{if (NR == 0) print "nan"; else if (NR % 2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
calc() { awk "BEGIN{ printf \"$1\\n\", $2 }"; }  # format, expression
fsize() { stat -c %s "$1"; }

# start_sim NAME ARGS... : a fresh simulator on $work/NAME.tty; its pid in SIM_PID. Its
# own time limit bounds every wait for it.
start_sim() {
  local name=$1
  shift
  rm -f "$work/$name.tty" "$work/$name.json"
  "$sim" --link "$work/$name.tty" --report "$work/$name.json" --timeout 240 "$@" \
    </dev/null >"$work/$name.sim.log" 2>&1 &
  SIM_PID=$!
  local i
  for ((i = 0; i < 1000; ++i)); do
    if [[ -e $work/$name.tty ]]; then
      # A real device is up before the tool starts: let the simulator finish starting
      # too, so the tool's first steps do not queue behind it for the CPU.
      sleep 0.2
      return 0
    fi
    sleep 0.01
  done
  die "simulator $name did not link its port"
}
# end_sim PID PROBE: after a good run the simulator ends by itself (200 ms after the last
# device); after a failed one it is stopped.
end_sim() {
  if [[ $(kv "$2" exit) == 0 ]]; then wait "$1" 2>/dev/null || true; else stop_pid "$1"; fi
}
# report_ok NAME BLOCKS: the simulator's report shows one good transfer of BLOCKS blocks.
report_ok() {
  local r=$work/$1.json
  [[ -f $r ]] || die "no simulator report for $1"
  grep -q '"result": "ok"' "$r" || die "transfer $1 not ok: $(tr -d '\n' <"$r")"
  grep -q "\"blocks\": $2," "$r" || die "transfer $1: expected $2 blocks: $(tr -d '\n' <"$r")"
}
# tap_seconds NAME: the sender's time from the receiver's 'C' to the EOT's ACK.
tap_seconds() {
  local f=$work/$1.tap
  [[ -s $f ]] || die "no timing from the read tap for $1"
  local first last
  first=$(tr ' ' '\n' <"$f" | sed -n 's/^first_c_ns=//p')
  last=$(tr ' ' '\n' <"$f" | sed -n 's/^last_ack_ns=//p')
  ((first > 0 && last > first)) || die "read tap for $1 saw no transfer: $(cat "$f")"
  calc %.6f "($last - $first) / 1e9"
}
tap_acks() { tr ' ' '\n' <"$work/$1.tap" | sed -n 's/^acks=//p'; }
blocks_of() { echo $((($1 + 1023) / 1024)); }  # XMODEM-1K blocks of a stream

# ---- inputs ----
echo "Vorla Loader benchmarks: build $build (${build_type:-unknown type}), work $work" >&2
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
t_start=$(date +%s)
head -c 1024 /dev/urandom >"$work/boot.sdb"
head -c $((XFER_KIB * 1024)) /dev/urandom >"$work/img.bin"
head -c 2048 /dev/urandom >"$work/small.bin"
(cd "$work" && "$tool" -f -o"$work/stream.hex" 1 boot.sdb img.bin 0xf00000 >/dev/null) ||
  die "compound file not written"
stream_bytes=$(fsize "$work/stream.hex")
stream_blocks=$(blocks_of "$stream_bytes")

# ---- 6. the event stream's cost: figure 1 with and without -j, side by side ----
events_cost() {
  echo "[6] the event stream: ${XFER_KIB} KiB at $LINE_RATE baud with and without -j, side by side" >&2
  mkdir -p "$work/f6a" "$work/f6b"
  start_sim f6a --boot "$work/boot.sdb" --line-rate
  local sim_a=$SIM_PID
  start_sim f6b --boot "$work/boot.sdb" --line-rate
  local sim_b=$SIM_PID
  "$probe" --cwd "$work/f6a" --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/f6a.tap" --log "$work/f6a.out" \
    -- "$tool" -s -b "$work/f6a.tty" "$work/boot.sdb" "$work/img.bin" 0xf00000 >"$work/f6a.probe" &
  local job=$!
  "$probe" --cwd "$work/f6b" --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/f6b.tap" --log "$work/f6b.out" \
    -- "$tool" -s -b -j"$work/f6b.jsonl" "$work/f6b.tty" "$work/boot.sdb" "$work/img.bin" 0xf00000 >"$work/f6b.probe"
  wait "$job" || true
  end_sim "$sim_a" "$work/f6a.probe"
  end_sim "$sim_b" "$work/f6b.probe"
  local r
  for r in f6a f6b; do
    [[ $(kv "$work/$r.probe" exit) == 0 ]] || die "update $r for figure 6 failed: $(tail -c 400 "$work/$r.out")"
    report_ok "$r" "$stream_blocks"
  done
  f6_eff=$(calc %.2f "100 * $stream_bytes / $(tap_seconds f6a) / $XM_LIMIT")
  f6_eff_j=$(calc %.2f "100 * $stream_bytes / $(tap_seconds f6b) / $XM_LIMIT")
  f6_eff_diff=$(calc %.2f "$f6_eff - $f6_eff_j")
  f6_cpu_ms=$(calc %.1f "($(kv "$work/f6a.probe" user_us) + $(kv "$work/f6a.probe" sys_us)) / 1e3")
  f6_cpu_j_ms=$(calc %.1f "($(kv "$work/f6b.probe" user_us) + $(kv "$work/f6b.probe" sys_us)) / 1e3")
  f6_cpu_growth=$(calc %.1f "100 * ($f6_cpu_j_ms - $f6_cpu_ms) / $f6_cpu_ms")
  f6_events=$(wc -l <"$work/f6b.jsonl")
  f6_progress=$(grep -c '"event":"progress"' "$work/f6b.jsonl" || true)
  note "without -j ${f6_eff} %, CPU ${f6_cpu_ms} ms; with -j ${f6_eff_j} %, CPU ${f6_cpu_j_ms} ms (${f6_events} events, ${f6_progress} progress)"
}
events_rows() {
  printf '%s\n' \
    "6|Transfer efficiency with -j, beside one without (figure 1 twice)|${f6_eff_j} % with, ${f6_eff} % without: ${f6_eff_diff} points|within 0.2 points|$(verdict "$f6_eff_diff <= 0.2")" \
    "6|Tool CPU for that board, with -j against without|${f6_cpu_j_ms} ms against ${f6_cpu_ms} ms: ${f6_cpu_growth} %|<= 10 %|$(verdict "$f6_cpu_growth <= 10")"
}
verdict() { awk "BEGIN{ print ($1) ? \"met\" : \"MISSED\" }"; }
print_rows() {
  printf '%-2s  %-58s  %-70s  %-20s  %s\n' "#" "Figure" "Measured" "Target" "Result"
  local row n what got target res
  for row in "$@"; do
    IFS='|' read -r n what got target res <<<"$row"
    printf '%-2s  %-58s  %-70s  %-20s  %s\n' "$n" "$what" "$got" "$target" "$res"
  done
}
if ((events_only)); then
  events_cost
  echo
  mapfile -t rows < <(events_rows)
  print_rows "${rows[@]}"
  exit 0
fi

# ---- 1. transfer efficiency at the line rate ----
echo "[1/5] ${XFER_KIB} KiB image at $LINE_RATE baud (about $((stream_blocks * 1030 / LINE_BPS + 3)) s)" >&2
mkdir -p "$work/f1"
start_sim f1 --boot "$work/boot.sdb" --line-rate
"$probe" --cwd "$work/f1" --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/f1.tap" --log "$work/f1.out" \
  -- "$tool" -s -b "$work/f1.tty" "$work/boot.sdb" "$work/img.bin" 0xf00000 >"$work/f1.probe"
end_sim "$SIM_PID" "$work/f1.probe"
[[ $(kv "$work/f1.probe" exit) == 0 ]] || die "update for figure 1 failed: $(tail -c 400 "$work/f1.out")"
report_ok f1 "$stream_blocks"
f1_s=$(tap_seconds f1)
f1_bps=$(calc %.1f "$stream_bytes / $f1_s")
f1_eff=$(calc %.2f "100 * $f1_bps / $XM_LIMIT")
# Time per block beyond its 1029 line bytes (the EOT and its ACK are 2 bytes in all).
f1_turn_ms=$(calc %.3f "1000 * ($f1_s - ($stream_blocks * 1029 + 2) / $LINE_BPS) / $stream_blocks")
f1_best=$(calc %.2f "100 * ($stream_bytes / (($stream_blocks * 1030 + 2) / $LINE_BPS)) / $XM_LIMIT")
note "transfer ${f1_s} s, ${f1_bps} B/s = ${f1_eff} % of ${XM_LIMIT} B/s; ${f1_turn_ms} ms a block beyond its line bytes"

# ---- 5. idle cost: measured beside figure 2, as it only sleeps ----
start_idle_runs() {
  mkdir -p "$work/f5a" "$work/f5b"
  start_sim f5a --boot "$work/boot.sdb" --silent-rom
  f5a_sim=$SIM_PID
  "$probe" --cwd "$work/f5a" --idle-after "Wait for device" --idle-seconds "$SILENT_S" --log "$work/f5a.out" \
    -- "$tool" -s -b "$work/f5a.tty" "$work/boot.sdb" "$work/small.bin" 0xf00000 >"$work/f5a.probe" &
  f5a_job=$!
  # Without -s, two devices: the pause follows the first, good one.
  start_sim f5b --boot "$work/boot.sdb" --devices 2
  f5b_sim=$SIM_PID
  "$probe" --cwd "$work/f5b" --idle-after "Hit any key" --idle-seconds "$PAUSE_S" --log "$work/f5b.out" \
    -- "$tool" -b "$work/f5b.tty" "$work/boot.sdb" "$work/small.bin" 0xf00000 >"$work/f5b.probe" &
  f5b_job=$!
}
end_idle_runs() {
  wait "$f5a_job" || true
  wait "$f5b_job" || true
  stop_pid "$f5a_sim"
  stop_pid "$f5b_sim"
}

# ---- 2. against a standard sender, at the line rate: side by side ----
if ((have_sx)); then
  echo "[2/5] sx -k and vorlaloader -c, side by side at $LINE_RATE baud; idle cost beside them" >&2
else
  echo "[2/5] sx not installed: figure 2 skipped; idle cost" >&2
fi
start_idle_runs
if ((have_sx)); then
  start_sim f2s --xmodem-only --line-rate
  f2s_sim=$SIM_PID
  # A pseudo-terminal starts at 38400; the simulator paces at whatever rate the tty holds.
  stty -F "$work/f2s.tty" "$LINE_RATE" raw -echo
  start_sim f2o --boot "$work/boot.sdb" --line-rate
  f2o_sim=$SIM_PID
  mkdir -p "$work/f2o"
  "$probe" --cwd "$work" --stdin "$work/f2s.tty" --stdout "$work/f2s.tty" --stderr "$work/f2s.sx.log" \
    --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/f2s.tap" -- sx -k stream.hex >"$work/f2s.probe" &
  sx_job=$!
  "$probe" --cwd "$work/f2o" --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/f2o.tap" --log "$work/f2o.out" \
    -- "$tool" -s -b -c "$work/f2o.tty" "$work/boot.sdb" "$work/stream.hex" 0x0 >"$work/f2o.probe"
  wait "$sx_job" || true
  end_sim "$f2s_sim" "$work/f2s.probe"
  end_sim "$f2o_sim" "$work/f2o.probe"
  [[ $(kv "$work/f2s.probe" exit) == 0 ]] || die "sx failed: $(tail -c 300 "$work/f2s.sx.log")"
  [[ $(kv "$work/f2o.probe" exit) == 0 ]] || die "vorlaloader -c failed: $(tail -c 400 "$work/f2o.out")"
  report_ok f2o "$stream_blocks"
  grep -q '"result": "ok"' "$work/f2s.json" || die "sx transfer not ok"
  f2_sx_s=$(tap_seconds f2s)
  f2_our_s=$(tap_seconds f2o)
  f2_sx_bps=$(calc %.1f "$stream_bytes / $f2_sx_s")
  f2_our_bps=$(calc %.1f "$stream_bytes / $f2_our_s")
  f2_ratio=$(calc %.3f "$f2_our_bps / $f2_sx_bps")
  # sx ends a stream whose tail is 128 bytes or less with one 133-byte block; we always
  # send 1029. Line time that rule saves sx, as a share of our transfer.
  tail_bytes=$((stream_bytes % 1024))
  if ((tail_bytes > 0 && tail_bytes <= 128)); then f2_tail_saving=$(calc %.2f "100 * 896 / ($stream_blocks * 1030 + 2)"); else f2_tail_saving=0.00; fi
  note "line rate: ours ${f2_our_bps} B/s, sx ${f2_sx_bps} B/s, ratio ${f2_ratio}"

  echo "[2/5] the same without line pacing (raw pseudo-terminal), $RAW_ROUNDS rounds" >&2
  : >"$work/raw_sx.txt"
  : >"$work/raw_our.txt"
  for ((r = 1; r <= RAW_ROUNDS; ++r)); do
    start_sim "r${r}s" --xmodem-only
    "$probe" --cwd "$work" --stdin "$work/r${r}s.tty" --stdout "$work/r${r}s.tty" --stderr "$work/r${r}s.sx.log" \
      --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/r${r}s.tap" -- sx -k stream.hex >"$work/r${r}s.probe"
    end_sim "$SIM_PID" "$work/r${r}s.probe"
    [[ $(kv "$work/r${r}s.probe" exit) == 0 ]] || die "sx (raw) failed"
    tap_seconds "r${r}s" >>"$work/raw_sx.txt"
    mkdir -p "$work/r${r}o"
    start_sim "r${r}o" --boot "$work/boot.sdb"
    "$probe" --cwd "$work/r${r}o" --env LD_PRELOAD="$tap" --env VORLA_IOTAP="$work/r${r}o.tap" --log "$work/r${r}o.out" \
      -- "$tool" -s -b -c "$work/r${r}o.tty" "$work/boot.sdb" "$work/stream.hex" 0x0 >"$work/r${r}o.probe"
    end_sim "$SIM_PID" "$work/r${r}o.probe"
    [[ $(kv "$work/r${r}o.probe" exit) == 0 ]] || die "vorlaloader -c (raw) failed"
    report_ok "r${r}o" "$stream_blocks"
    tap_seconds "r${r}o" >>"$work/raw_our.txt"
  done
  raw_sx_s=$(median <"$work/raw_sx.txt")
  raw_our_s=$(median <"$work/raw_our.txt")
  raw_sx_kbps=$(calc %.0f "$stream_bytes / $raw_sx_s / 1024")
  raw_our_kbps=$(calc %.0f "$stream_bytes / $raw_our_s / 1024")
  raw_ratio=$(calc %.2f "$raw_sx_s / $raw_our_s")
  raw_our_block_us=$(calc %.0f "1e6 * $raw_our_s / $stream_blocks")
  raw_sx_block_us=$(calc %.0f "1e6 * $raw_sx_s / ($stream_blocks)")
  note "raw: ours ${raw_our_kbps} KiB/s, sx ${raw_sx_kbps} KiB/s, ratio ${raw_ratio}"
fi
end_idle_runs
[[ -s $work/f5a.probe && -s $work/f5b.probe ]] || die "idle measurements did not finish"

# ---- 3. floor of one update ----
echo "[3/5] floor of one update: $FLOOR_RUNS runs of -s with a 2 KiB image" >&2
for f in floor floor_cpu floor_start floor_seq floor_after floor_seqcpu bare; do : >"$work/$f.txt"; done
for ((r = 1; r <= FLOOR_RUNS; ++r)); do
  mkdir -p "$work/f3_$r"
  start_sim "f3_$r" --boot "$work/boot.sdb" --erase-ms 0
  "$probe" --cwd "$work/f3_$r" --log "$work/f3_$r.out" --mark "Wait for device" --mark "Reboot device" \
    -- "$tool" -s "$work/f3_$r.tty" "$work/boot.sdb" "$work/small.bin" 0xf00000 >"$work/f3_$r.probe"
  end_sim "$SIM_PID" "$work/f3_$r.probe"
  p=$work/f3_$r.probe
  [[ $(kv "$p" exit) == 0 ]] || die "update for figure 3 failed: $(tail -c 400 "$work/f3_$r.out")"
  report_ok "f3_$r" "$(blocks_of $((2048 + 72)))"
  calc %.4f "$(kv "$p" wall_ns) / 1e9" >>"$work/floor.txt"
  calc %.3f "($(kv "$p" user_us) + $(kv "$p" sys_us)) / 1e6" >>"$work/floor_cpu.txt"
  # Where the time goes: start to the first wake-up, the sequence up to "reboot", the rest.
  calc %.1f "$(kv "$p" mark0_ns) / 1e6" >>"$work/floor_start.txt"
  calc %.1f "($(kv "$p" mark1_ns) - $(kv "$p" mark0_ns)) / 1e6" >>"$work/floor_seq.txt"
  calc %.1f "($(kv "$p" wall_ns) - $(kv "$p" mark1_ns)) / 1e6 - $REBOOT_SLEEP_MS" >>"$work/floor_after.txt"
  calc %.1f "$(kv "$p" mark1_cpu_ns) / 1e6" >>"$work/floor_seqcpu.txt"
  # For scale: the same binary started only to print its usage, on this machine now.
  "$probe" --stdout /dev/null -- "$tool" >"$work/bare.probe"
  calc %.1f "$(kv "$work/bare.probe" wall_ns) / 1e6" >>"$work/bare.txt"
done
f3_s=$(median <"$work/floor.txt")
f3_min=$(sort -g "$work/floor.txt" | head -n 1)
f3_max=$(sort -g "$work/floor.txt" | tail -n 1)
f3_floor_s=$(calc %.3f "$REBOOT_SLEEP_MS / 1000")
f3_over_ms=$(calc %.1f "1000 * ($f3_s - $f3_floor_s)")
f3_over=$(calc %.2f "100 * ($f3_s - $f3_floor_s) / $f3_floor_s")
f3_over_min=$(calc %.2f "100 * ($f3_min - $f3_floor_s) / $f3_floor_s")
f3_cpu=$(median <"$work/floor_cpu.txt")
f3_start_ms=$(median <"$work/floor_start.txt")
f3_seq_ms=$(median <"$work/floor_seq.txt")
f3_after_ms=$(median <"$work/floor_after.txt")
f3_seqcpu_ms=$(median <"$work/floor_seqcpu.txt")
f3_bare_ms=$(median <"$work/bare.txt")
note "median ${f3_s} s (${f3_min}..${f3_max}) against ${f3_floor_s} s: +${f3_over_ms} ms = ${f3_over} %; CPU ${f3_cpu} s a run"
note "  start ${f3_start_ms} ms (bare start ${f3_bare_ms} ms), sequence ${f3_seq_ms} ms, after the sleep ${f3_after_ms} ms; CPU up to reboot ${f3_seqcpu_ms} ms"

# ---- 4. compound writer ----
echo "[4/5] compound writer: ${BIG_MIB} MiB against cp; peak memory at 1, ${BIG_MIB}, ${MEM_BIG_MIB} MiB" >&2
head -c $((BIG_MIB * 1024 * 1024)) /dev/urandom >"$work/big.bin"
head -c $((MEM_BIG_MIB * 1024 * 1024)) /dev/zero >"$work/huge.bin"  # written blocks, not a sparse file
head -c $((1024 * 1024)) /dev/urandom >"$work/one.bin"
: >"$work/cp.txt"
: >"$work/fw.txt"
cat "$work/big.bin" >/dev/null  # both read from the page cache
for ((r = 1; r <= COPY_ROUNDS; ++r)); do
  rm -f "$work/cp.out" "$work/fw.out"
  "$probe" -- cp "$work/big.bin" "$work/cp.out" >"$work/cp.probe"
  calc %.4f "$(kv "$work/cp.probe" wall_ns) / 1e9" >>"$work/cp.txt"
  "$probe" --cwd "$work" --stdout /dev/null -- "$tool" -f -o"$work/fw.out" 1 boot.sdb big.bin 0xf00000 >"$work/fw.probe"
  [[ $(kv "$work/fw.probe" exit) == 0 ]] || die "compound file of ${BIG_MIB} MiB not written"
  calc %.4f "$(kv "$work/fw.probe" wall_ns) / 1e9" >>"$work/fw.txt"
done
[[ $(fsize "$work/fw.out") == $((BIG_MIB * 1024 * 1024 + 72)) ]] || die "compound file has the wrong size"
rm -f "$work/cp.out" "$work/fw.out"
f4_cp_s=$(median <"$work/cp.txt")
f4_fw_s=$(median <"$work/fw.txt")
f4_ratio=$(calc %.2f "$f4_fw_s / $f4_cp_s")
rss_of() {  # image file -> max RSS in KiB of writing its compound file, by /usr/bin/time
  /usr/bin/time -f %M -o "$work/rss.txt" "$tool" -f -o"$work/mem.out" 1 "$work/boot.sdb" "$1" 0xf00000 >/dev/null ||
    die "compound file of $1 not written"
  rm -f "$work/mem.out"
  tail -n 1 "$work/rss.txt"
}
f4_rss1=$(rss_of "$work/one.bin")
f4_rss64=$(rss_of "$work/big.bin")
f4_rss256=$(rss_of "$work/huge.bin")
/usr/bin/time -f %M -o "$work/rss.txt" cp "$work/big.bin" "$work/cp.out"
f4_cp_rss=$(tail -n 1 "$work/rss.txt")
rm -f "$work/cp.out" "$work/big.bin" "$work/huge.bin" "$work/one.bin"
f4_spread=$(printf '%s\n' "$f4_rss1" "$f4_rss64" "$f4_rss256" | sort -n | awk 'NR==1{lo=$1} {hi=$1} END{print hi-lo}')
note "${BIG_MIB} MiB: vorlaloader -f ${f4_fw_s} s, cp ${f4_cp_s} s (x${f4_ratio}); max RSS ${f4_rss1}/${f4_rss64}/${f4_rss256} KiB"

# ---- 5. idle cost (measured beside figure 2) ----
idle_pct() {  # probe file -> % of one core
  local p=$1
  [[ $(kv "$p" idle_seen) == 1 ]] || die "idle window not reached in $p"
  calc %.3f "100 * ($(kv "$p" idle_ticks) / $(kv "$p" clk_tck)) / ($(kv "$p" idle_wall_ns) / 1e9)"
}
idle_sched_pct() { calc %.3f "100 * $(kv "$1" idle_sched_ns) / $(kv "$1" idle_wall_ns)"; }
f5a_pct=$(idle_pct "$work/f5a.probe")
f5a_sched=$(idle_sched_pct "$work/f5a.probe")
f5a_win=$(calc %.1f "$(kv "$work/f5a.probe" idle_wall_ns) / 1e9")
f5b_pct=$(idle_pct "$work/f5b.probe")
f5b_sched=$(idle_sched_pct "$work/f5b.probe")
f5b_win=$(calc %.1f "$(kv "$work/f5b.probe" idle_wall_ns) / 1e9")
# The window must end inside the pause: one banner only (the next device's comes after it).
banners=$(grep -c "Vorla Loader V" "$work/f5b.out" || true)
((banners == 1)) || die "the pause window ran past the pause ($banners banners)"
grep -q SUCCESSFULL "$work/f5b.out" || die "the device before the pause was not updated"
note "waiting for a silent device: ${f5a_pct} % of a core; pause between devices: ${f5b_pct} %"

events_cost
t_total=$(($(date +%s) - t_start))
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- table ----
v1=$(verdict "$f1_eff >= 97")
v3=$(verdict "$f3_over < 2")
v4t=$(verdict "$f4_ratio <= 3")
v4m=$(verdict "$f4_spread <= 1024")
v5a=$(verdict "$f5a_pct < 1")
v5b=$(verdict "$f5b_pct < 1")
if ((have_sx)); then
  v2=$(verdict "sprintf(\"%.2f\", $f2_ratio) + 0 >= 1.00")
  row2a="ours ${f2_our_bps} B/s, sx ${f2_sx_bps} B/s: ratio ${f2_ratio}"
  row2b="ours ${raw_our_kbps} KiB/s, sx ${raw_sx_kbps} KiB/s: ratio ${raw_ratio}"
else
  v2="skipped"; row2a="sx not installed"; row2b="sx not installed"
fi

rows=(
  "1|Transfer efficiency, ${XFER_KIB} KiB image, ${LINE_RATE} 8N1|${f1_eff} % of ${XM_LIMIT} B/s (${f1_bps} B/s, ${f1_s} s)|>= 97 %|$v1"
  "2|Ours / sx -k, same compound stream, line rate|${row2a}|>= 1.00|$v2"
  "2|Ours / sx -k, raw pseudo-terminal (median of ${RAW_ROUNDS})|${row2b}|none|info"
  "3|Floor of one -s update, 2 KiB image (median of ${FLOOR_RUNS})|${f3_s} s vs ${f3_floor_s} s fixed: +${f3_over_ms} ms = ${f3_over} %|< 2 %|$v3"
  "4|Compound writer, ${BIG_MIB} MiB image, vs cp (median of ${COPY_ROUNDS})|${f4_fw_s} s vs ${f4_cp_s} s = ${f4_ratio}x|<= 3x|$v4t"
  "4|Compound writer peak memory at 1 / ${BIG_MIB} / ${MEM_BIG_MIB} MiB|${f4_rss1} / ${f4_rss64} / ${f4_rss256} KiB max RSS (spread ${f4_spread} KiB)|flat within 1024 KiB|$v4m"
  "5|Idle CPU, waiting ${f5a_win} s for a silent device|${f5a_pct} % of one core|< 1 %|$v5a"
  "5|Idle CPU, ${f5b_win} s of the pause between devices|${f5b_pct} % of one core|< 1 %|$v5b"
)
mapfile -t -O "${#rows[@]}" rows < <(events_rows)

echo
print_rows "${rows[@]}"
echo
echo "Side figures: ${f1_turn_ms} ms a block beyond its line bytes at ${LINE_RATE} baud (best possible here ${f1_best} %);"
echo "  floor parts (median): start ${f3_start_ms} ms (bare start ${f3_bare_ms} ms), sequence ${f3_seq_ms} ms,"
echo "  after the sleep ${f3_after_ms} ms; tool CPU up to reboot ${f3_seqcpu_ms} ms, per whole floor run ${f3_cpu} s;"
echo "  idle by schedstat ${f5a_sched} % / ${f5b_sched} %."
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), kernel $(uname -r);"
echo "  load average ${load_start} at start, ${load_end} at end; ${t_total} s in all."
if ((quick)); then echo "(--quick: small images and short windows; figures not comparable)"; fi

((write_doc)) || exit 0

# ---- docs/performance.md ----
doc=$repo/docs/performance.md
# The shift report's section is report_bench.sh's: kept as it is.
report_section=$(sed -n '/^## The shift report/,$p' "$doc" 2>/dev/null || true)
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
ncores=$(nproc)
sx_version=$( ((have_sx)) && sx --version 2>&1 | head -n 1 || echo "not installed")
# The last section is written by bench/images_bench.sh: kept as it is.
images_section=$(sed -n '/^## Images from the build/,$p' "$doc" 2>/dev/null || true)
{
  echo "# Performance"
  echo
  echo "Generated by \`bench/run_benchmarks.sh --write-doc\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo "Machine: $(nproc) cores, ${cpu_model}, Linux $(uname -r); load average ${load_start} at the"
  echo "start of the run and ${load_end} at its end (the machine is shared with other builds)."
  echo "Build: ${build_type:-unknown} build of the tree, \`${sx_version}\` as the standard sender."
  echo "The whole run took ${t_total} s."
  echo
  echo "Run it again with:"
  echo
  echo '```sh'
  echo 'cmake -S . -B /tmp/build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C /tmp/build-bench -j2'
  echo 'bench/run_benchmarks.sh /tmp/build-bench            # prints the table'
  echo 'bench/run_benchmarks.sh --write-doc /tmp/build-bench  # and rewrites this file'
  echo '```'
  echo
  echo "(\`ninja -C BUILD bench\` runs the driver for that build.) Nothing here runs under ctest."
  echo
  echo "| # | Figure | Measured | Target | Result |"
  echo "|---|---|---|---|---|"
  for row in "${rows[@]}"; do
    IFS='|' read -r n what got target res <<<"$row"
    echo "| $n | $what | $got | $target | $res |"
  done
  echo
  echo "## How each figure is taken, and what limits it"
  echo
  echo "**1. Transfer efficiency.** \`vorla-devsim --line-rate\` paces every byte at the rate the"
  echo "tool set on the line (10 bits a byte), and \`vorlaloader -s -b\` sends a ${XFER_KIB} KiB image"
  echo "(a ${stream_bytes}-byte compound stream, ${stream_blocks} blocks). A small preloaded library"
  echo "(\`bench/iotap.cpp\`) timestamps the sender's reads: the transfer runs from the receiver's"
  echo "'C' to the ACK of the EOT. Throughput counts the stream's bytes against the XMODEM-1K"
  echo "limit of 1024 payload bytes per 1029 line bytes, ${XM_LIMIT} B/s at ${LINE_RATE} baud."
  echo "XMODEM waits for an ACK after every block, so each block costs its 1029 bytes plus one"
  echo "turnaround: here ${f1_turn_ms} ms beyond the line bytes, which covers the ACK byte itself"
  echo "(0.087 ms), the simulator seeing the first byte of the next block one byte time after it"
  echo "arrives, and the pseudo-terminal and scheduler hops both ways. The last block is padded"
  echo "to 1024 bytes. Even with a zero-time host the result here could not pass ${f1_best} %."
  echo
  if ((have_sx)); then
    echo "**2. Against a standard sender.** The compound stream of figure 1, made with"
    echo "\`vorlaloader -f\`, goes once through \`sx -k\` (1 KiB blocks, CRC after the receiver's 'C')"
    echo "into \`vorla-devsim --xmodem-only --line-rate\` (its pseudo-terminal set to ${LINE_RATE}"
    echo "with stty first), and once through \`vorlaloader -s -b -c\` into a normal simulator at the"
    echo "line rate. Both run at the same time, side by side, and both are timed by the same read"
    echo "tap, from 'C' to the EOT's ACK. At the line rate both senders are stop-and-wait with one"
    echo "block in flight, so the line sets the pace and the ratio sits at 1; what is left is the"
    echo "per-block turnaround of each sender and the tail: sx sends a tail of 128 bytes or less"
    echo "as a 133-byte block, while our sender always sends 1029-byte blocks (worth ${f2_tail_saving} %"
    echo "to sx on this stream). Without pacing (raw pseudo-terminal, median of ${RAW_ROUNDS} rounds"
    echo "each) the time is all turnaround: ${raw_our_block_us} us a block for ours, ${raw_sx_block_us} us"
    echo "for sx. Each block crosses the pseudo-terminal twice and wakes the simulator and the"
    echo "sender; our receive thread reads the ACK and hands it to the sending thread through a"
    echo "condition variable, one wake-up per block more than sx, which reads the ACK in the thread"
    echo "that sends (sx in turn writes a progress line to standard error after every block). On a"
    echo "shared machine this is the noisiest figure: it is made of wake-ups, not of line time."
    echo
  fi
  echo "**3. Floor of one update.** A simulator that answers at once (no pacing, \`--erase-ms 0\`),"
  echo "a fresh one for each of ${FLOOR_RUNS} runs of \`vorlaloader -s\` with a 2 KiB image, given 0.2 s"
  echo "to finish its own start before the tool starts, as a powered device would be"
  echo "(${f3_min} s to ${f3_max} s; the fastest run is ${f3_over_min} % over). The sequence itself"
  echo "prescribes one fixed wait, the ${REBOOT_SLEEP_MS} ms after \"reboot\"; the wake-up, prompt and"
  echo "command waits end as soon as the answer comes, so the floor is ${f3_floor_s} s. Medians of"
  echo "the parts: ${f3_start_ms} ms from the start to the first wake-up (loading, the banner, opening"
  echo "and setting up the port, starting the receive thread; the same binary started only to"
  echo "print its usage takes ${f3_bare_ms} ms here), ${f3_seq_ms} ms for the whole exchange from the"
  echo "wake-up to \"reboot\" (boot file, prompt, version, erase, flashboot, one download: about"
  echo "ten round trips over the pseudo-terminal, each waking the simulator and the tool), and"
  echo "${f3_after_ms} ms after the sleep (closing the port, exit). The tool's CPU time up to"
  echo "\"reboot\", start-up included, is ${f3_seqcpu_ms} ms. None of the time above the floor is a"
  echo "wait of the tool's own: it is process start-up and wake-ups, so it grows with the load on"
  echo "the machine (without the 0.2 s for the simulator, the tool's start competes with the"
  echo "simulator's and the figure is several times larger)."
  echo
  echo "**4. Compound writer.** \`vorlaloader -f\` packing a ${BIG_MIB} MiB image against \`cp\` of"
  echo "the same file, both reading from the page cache, outputs deleted between runs; peak"
  echo "memory is /usr/bin/time's maximum RSS (cp: ${f4_cp_rss} KiB). Memory is flat because every"
  echo "image streams through one static 1024-byte buffer. The time is set by that buffer size:"
  echo "one read() and one write() per KiB, $((BIG_MIB * 2048)) system calls for ${BIG_MIB} MiB, while"
  echo "cp hands the whole copy to the kernel (copy_file_range)."
  if [[ $v4t != met ]]; then
    echo "The per-call cost, not the copying, is what misses the target: the same loop with a"
    echo "64 KiB chunk (still one static buffer, so memory stays flat) wrote the identical file in"
    echo "about twice cp's time when tried outside the tree on this machine. The writer keeps its"
    echo "1024-byte chunks on purpose: the one 1024-byte copy buffer that formats every header and"
    echo "carries every chunk is part of the writer's contract, and this speed is far above what"
    echo "any serial line will take."
  fi
  echo
  echo "**5. Idle cost.** CPU time (utime + stime from /proc/PID/stat, whole process) over wall"
  echo "time, in two windows measured while figure 2 runs: ${f5a_win} s of waiting for a device"
  echo "that never answers (\`--silent-rom\`), from \"Wait for device\" on, and ${f5b_win} s of the"
  echo "20-second pause that follows a good device (run without -s, \`--devices 2\`, standard input"
  echo "not a terminal), from \"Hit any key\" on; the tool is stopped at the end of each window."
  echo "Both waits sleep in the kernel: the wake-up is re-sent every 250 ms, the receive thread"
  echo "polls with a one-second limit, the pause sleeps 100 ms at a time. Clock ticks are 10 ms, so"
  echo "the figures are good to about 0.1 %; the per-thread scheduler clocks give ${f5a_sched} % and"
  echo "${f5b_sched} %."
  echo
  echo "**6. The event stream.** Figure 1 twice, side by side on the same machine at the same"
  echo "time, each against a simulator of its own at the line rate: once as above, once with"
  echo "\`-j\` writing the stream to a regular file (${f6_events} events, ${f6_progress} of them progress)."
  echo "Efficiency as in figure 1: ${f6_eff} % without, ${f6_eff_j} % with the stream. CPU is the"
  echo "tool's utime + stime for the whole run of that one board (start, upload, erase,"
  echo "transfer, reboot): ${f6_cpu_ms} ms without, ${f6_cpu_j_ms} ms with (${f6_cpu_growth} %). A progress"
  echo "event is written while a block is on the line, after its write and before its ACK is"
  echo "awaited, so it adds nothing to a block's turnaround; each costs a JSON line and one"
  echo "write(2)."
  cpu_frac=$(calc %.2f "$f3_cpu / $f3_s")
  if awk "BEGIN{exit !($cpu_frac > 0.2)}"; then
    echo
    echo "**Seen in passing.** A floor run takes ${f3_cpu} s of CPU in ${f3_s} s of wall time. The"
    echo "simulator ends 200 ms after \"reboot\" and closes its side; from then on each read of"
    echo "the port returns 0 bytes at once with POLLHUP, and the receive thread reads again"
    echo "without waiting, a full core for the rest of the 3-second reboot sleep. The read"
    echo "function's comment says that a port whose peer has gone waits out the read limit before"
    echo "the next read, but a read of 0 bytes returns before that wait."
  fi
  [[ -z $images_section ]] || printf '\n%s\n' "$images_section"
  if [[ -n $report_section ]]; then
    echo
    echo "$report_section"
  fi
} >"$doc"
echo "wrote $doc"
