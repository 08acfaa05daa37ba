#!/usr/bin/env bash
# Chaos soak: the loader of BUILD_DIR updates DEVICES simulated devices (default 200; CI runs 6), one
# vorla-devsim --chaos run each, with seeds SOAK_SEED, SOAK_SEED+1, ... (SOAK_SEED picks the fleet,
# default 1). The tool's verdict (exit code and its SUCCESSFULL/FAILED line) must be the one the
# simulator's report expects; a run past its time limit is a hang, one ended by a signal a crash.
# A wrong device's folder is kept; SOAK_SEED=<its seed> run_soak.sh BUILD_DIR 1 runs it again.
# Usage: tests/soak/run_soak.sh BUILD_DIR [DEVICES]
set -uo pipefail
if (($# < 1)); then
  echo "usage: $0 BUILD_DIR [DEVICES]" >&2
  exit 2
fi
tool=$(realpath "$1/src/vorlaloader") devsim=$(realpath "$1/tools/devsim/vorla-devsim") || exit 2
[[ -x $tool && -x $devsim ]] || { echo "run_soak.sh: build $1 first" >&2; exit 2; }
devices=${2:-200} first=${SOAK_SEED:-1}
root=$(mktemp -d "${TMPDIR:-/tmp}/vorla-soak-XXXXXX") || exit 2
passed=0 failed=0 good=0

for ((i = 0; i < devices; ++i)); do
  seed=$((first + i)) dir=$root/seed-$((first + i))
  mkdir "$dir" && cd "$dir" || exit 2
  # Image sizes follow the seed, so a replayed seed meets its block faults again (they reach block 320).
  RANDOM=$seed
  images=()
  for address in 0x100000 0x800000; do
    head -c $(((RANDOM << 15 | RANDOM) % 330000)) /dev/urandom >"img$address"
    images+=("img$address" "$address")
    ((RANDOM % 2)) && break
  done
  head -c $((RANDOM % 6000 + 256)) /dev/urandom >boot.sdb

  "$devsim" --chaos "$seed" --link port --boot boot.sdb --report report.json --timeout 60 >devsim.log 2>&1 &
  sim=$!
  for ((t = 0; t < 100; ++t)); do [[ -e port ]] && break; sleep 0.1; done
  start=$SECONDS
  # The chaos plan delays a device by 25 s at most and the simulator gives up after 60 s.
  timeout -k 5 150 "$tool" -s "$dir/port" boot.sdb "${images[@]}" </dev/null >tool.out 2>&1
  rc=$?
  # After a good update the simulator ends once the board has rebooted; otherwise it waits on.
  ((rc == 0)) && timeout 5 tail --pid=$sim -f /dev/null
  kill $sim 2>/dev/null
  wait $sim

  if ((rc == 124 || rc == 137)); then
    got=HANG
  elif ((rc > 128)); then
    got="CRASH:$(kill -l $((rc - 128)))"
  elif ((rc == 0)) && grep -q 'SUCCESSFULL\.' tool.out && ! grep -q 'is FAILED!' tool.out; then
    got=ok
  elif ((rc == 1)) && grep -q 'is FAILED!' tool.out && ! grep -q 'SUCCESSFULL\.' tool.out; then
    got=failed
  else
    got="EXIT:$rc"
  fi
  read -r want faults < <(python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))["devices"]
print("ok" if len(d) == 1 and d[0]["expected_ok"] else "failed", *(d[0]["faults"] if d else []))' report.json) ||
    want=NO-REPORT
  if [[ $got == "$want" ]]; then
    verdict=right passed=$((passed + 1))
    cd "$root" && rm -rf "$dir"
  else
    verdict="WRONG, kept in $dir" failed=$((failed + 1))
  fi
  [[ $want == ok ]] && good=$((good + 1))
  printf '[%3d] seed %-6s expected %-6s tool %-8s %3d s  %s  (faults: %s)\n' $((i + 1)) "$seed" "$want" "$got" \
    $((SECONDS - start)) "$verdict" "${faults:--}"
done

cd / && rmdir "$root" 2>/dev/null
echo "$good of $devices devices expected good; $passed passed, $failed failed"
((failed == 0))
