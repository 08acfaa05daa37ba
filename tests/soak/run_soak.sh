#!/usr/bin/env bash
# Chaos soak: the loader of BUILD_DIR against DEVICES simulated devices with
# seeded faults (default 200; CI runs 20). SOAK_SEED picks the fleet (default 1).
# Usage: tests/soak/run_soak.sh BUILD_DIR [DEVICES]
set -euo pipefail
if (($# < 1)); then
  echo "usage: $0 BUILD_DIR [DEVICES]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
devices=${2:-200}
seed=${SOAK_SEED:-1}

tool=$build/src/vorlaloader
devsim=$build/tools/devsim/vorla-devsim
for f in "$tool" "$devsim"; do
  [[ -x $f ]] || { echo "run_soak.sh: $f is missing: build $build first" >&2; exit 2; }
done

soak=$build/tests/soak/vorla-soak
if [[ ! -x $soak ]]; then
  # Not part of that build: build it on its own beside it.
  soak_build=$build/soak-standalone
  cmake -S "$here" -B "$soak_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$soak_build" -j2 >/dev/null
  soak=$soak_build/vorla-soak
fi

exec "$soak" --devices "$devices" --seed "$seed" --tool "$tool" --devsim "$devsim"
