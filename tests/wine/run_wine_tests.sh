#!/usr/bin/env bash
# End-to-end tests of the Windows build under Wine: every scenario runs the .exe against
# a fresh vorla-devsim whose pseudo-terminal is mapped to COM5, runs the Linux build
# against a fresh simulator of its own, and compares exit code, console text and the
# simulator's report.
#
#   tests/wine/run_wine_tests.sh LINUX_BUILD_DIR WIN_BUILD_DIR
#
# LINUX_BUILD_DIR holds src/vorlaloader and tools/devsim/vorla-devsim, WIN_BUILD_DIR
# src/vorlaloader.exe. The Wine prefix and all run folders go to WIN_BUILD_DIR/wine-tests.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX_BUILD_DIR WIN_BUILD_DIR" >&2
  exit 2
fi
linux_dir=$(cd "$1" && pwd)
win_dir=$(cd "$2" && pwd)
tool="$linux_dir/src/vorlaloader"
sim="$linux_dir/tools/devsim/vorla-devsim"
exe="$win_dir/src/vorlaloader.exe"
wine=${WINE:-wine}
wineserver=${WINESERVER:-wineserver}
for f in "$tool" "$sim" "$exe"; do
  if [ ! -x "$f" ] && [ ! -f "$f" ]; then
    echo "missing $f: build both trees first" >&2
    exit 2
  fi
done
for w in "$wine" "$wineserver"; do
  command -v "$w" >/dev/null || { echo "no $w on PATH" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "python3 is needed for the report checks" >&2; exit 2; }

base="$win_dir/wine-tests"
rm -rf "$base"
mkdir -p "$base/prefix" "$base/runs"
export WINEPREFIX="$base/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: the tool needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
com5="$WINEPREFIX/dosdevices/com5"

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT

# One server for the whole run: no start-up per scenario. Its output is dropped: it
# dumps its whole object table (megabytes) each time a mapped pseudo-terminal hangs up.
"$wineserver" -p >/dev/null 2>&1 || true
"$wine" wineboot --init >"$base/wineboot.log" 2>&1
rm -f "$WINEPREFIX"/dosdevices/com[0-9]*

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }

# Report checks: equal key fields between the two runs, and what a scenario expects.
cat >"$base/check.py" <<'EOF'
import hashlib, json, re, sys

def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except Exception as e:
        sys.exit("no report %s (%s)" % (path, e))

KEYS = ["commands", "rates", "boot_ok", "boot_bytes", "chip_erased", "eeprom_erased", "flashboot",
        "pages_erased", "transfers", "images", "rebooted", "errors"]

def image(path, address_text):
    data = open(path, "rb").read()
    if len(data) % 2:
        data += b"\xff"
    return {"address": int(address_text[2:], 16) & ~0xFF, "length": len(data),
            "sha256": hashlib.sha256(data).hexdigest()}

def main():
    mode, win_path, linux_path = sys.argv[1:4]
    # Arguments starting with "?" are conditions on the device d and the report r.
    conds = [a[1:] for a in sys.argv[4:] if a.startswith("?")]
    rest = [a for a in sys.argv[4:] if not a.startswith("?")]
    w, l = load(win_path), load(linux_path)
    if len(w.get("devices", [])) != len(l.get("devices", [])):
        sys.exit("device count differs: wine %d, linux %d" % (len(w["devices"]), len(l["devices"])))
    for wd, ld in zip(w["devices"], l["devices"]):
        for k in KEYS:
            if wd.get(k) != ld.get(k):
                sys.exit("report field %s differs: wine %s, linux %s" % (k, json.dumps(wd.get(k)), json.dumps(ld.get(k))))
    for k in ("errors", "disconnected"):
        if w.get(k) != l.get(k):
            sys.exit("report field %s differs: wine %s, linux %s" % (k, w.get(k), l.get(k)))
    if not w["devices"]:
        sys.exit("no device in the report")
    d = w["devices"][0]
    if mode == "ok":
        # rest: expected rates, then pairs of image file and address
        rates = [int(r) for r in rest[0].split(",")]
        want = [image(rest[i], rest[i + 1]) for i in range(1, len(rest), 2)]
        if d["images"] != want:
            sys.exit("flash holds %s, expected %s" % (json.dumps(d["images"]), json.dumps(want)))
        if d["rates"] != rates:
            sys.exit("rates %s, expected %s" % (d["rates"], rates))
        for what in ("boot_ok", "rebooted"):
            if d[what] is not True:
                sys.exit("%s is not true" % what)
        if d["errors"] or w["errors"]:
            sys.exit("simulator errors: %s %s" % (d["errors"], w["errors"]))
    elif mode == "failed":
        if d["rebooted"] or "reboot" in d["commands"]:
            sys.exit("the device was rebooted after a failure")
    for cond in conds:
        if not eval(cond, {"d": d, "r": w}):
            sys.exit("report does not satisfy %s" % cond)

main()
EOF

# Spinner steps ("|" "/" "-" "\" each followed by a backspace) depend on timing; the rest
# must match byte for byte.
same_text() {
  python3 - "$1" "$2" <<'EOF'
import re, sys
a, b = (re.sub(rb"[|/\\-]\x08", b"", open(p, "rb").read()) for p in sys.argv[1:3])
if a != b:
    i = next((k for k in range(min(len(a), len(b))) if a[k] != b[k]), min(len(a), len(b)))
    sys.exit("console text differs at byte %d: wine %r / linux %r" % (i, a[i:i + 40], b[i:i + 40]))
EOF
}

# Starts the simulator linked at $1 with report $2 and options after; sets sim_pid.
start_sim() {
  local link=$1 report=$2
  shift 2
  rm -f "$link"
  "$sim" --link "$link" --report "$report" --boot boot.sdb --timeout 60 "$@" >sim.out 2>sim.err &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -L "$link" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "simulator did not start: $(cat sim.err)" >&2
  return 1
}

# After a good update the simulator ends by itself; after a failure it waits for a
# reboot that never comes and is stopped (it writes its report on SIGTERM).
stop_sim() {
  local tool_rc=$1
  if [ "$tool_rc" -eq 0 ]; then
    for _ in $(seq 100); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.05
    done
  fi
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

# A run folder with the same boot file and images on both sides.
make_run() {
  local name=$1
  local dir="$base/runs/$name"
  mkdir -p "$dir/win" "$dir/linux"
  python3 - "$dir/win" <<'EOF'
import random, sys
rnd = random.Random(7)
for name, size in (("boot.sdb", 3000), ("a.bin", 70001), ("b.bin", 1024), ("app.bin", 5000)):
    with open("%s/%s" % (sys.argv[1], name), "wb") as f:
        f.write(bytes(rnd.getrandbits(8) for _ in range(size)))
EOF
  cp "$dir/win/"* "$dir/linux/"
  echo "$dir"
}

run_wine() {  # out_file args...: the .exe in the current folder, exit code in $rc
  local out=$1
  shift
  rc=0
  timeout 120 "$wine" "$exe" "$@" >"$out" 2>"$out.err" </dev/null || rc=$?
}

run_linux() {
  local out=$1
  shift
  rc=0
  timeout 120 "$tool" "$@" >"$out" 2>"$out.err" </dev/null || rc=$?
}

# device_scenario NAME EXPECTED_RC "SIM OPTIONS" "TOOL OPTIONS" CHECK_MODE [CHECK ARGS...]
# The images are those the check arguments name (mode "ok") or app.bin (other modes).
device_scenario() {
  local name=$1 want_rc=$2 sim_opts=$3 tool_opts=$4 mode=$5
  shift 5
  local checks=("$@") images=()
  if [ "$mode" = ok ]; then
    for a in "${checks[@]:1}"; do [[ $a == \?* ]] || images+=("$a"); done
  else
    images=(app.bin 0xf00000)
  fi
  local dir wrc lrc why
  dir=$(make_run "$name")
  # shellcheck disable=SC2086
  {
    cd "$dir/win"
    if ! start_sim "$com5" report.json $sim_opts; then fail "$name" "simulator did not start"; return; fi
    run_wine out.txt $tool_opts 5 boot.sdb "${images[@]}"
    wrc=$rc
    stop_sim "$wrc"
    cd "$dir/linux"
    if ! start_sim "$dir/linux/port" report.json $sim_opts; then fail "$name" "simulator did not start"; return; fi
    run_linux out.txt $tool_opts "$dir/linux/port" boot.sdb "${images[@]}"
    lrc=$rc
    stop_sim "$lrc"
  }
  cd "$base"
  if [ "$wrc" -ne "$want_rc" ] || [ "$lrc" -ne "$want_rc" ]; then
    fail "$name" "exit code wine $wrc, linux $lrc, expected $want_rc"
    return
  fi
  if ! why=$(same_text "$dir/win/out.txt" "$dir/linux/out.txt" 2>&1); then fail "$name" "$why"; return; fi
  if ! why=$(cd "$dir/win" && python3 "$base/check.py" "$mode" report.json "$dir/linux/report.json" "${checks[@]}" 2>&1); then
    fail "$name" "$why"
    return
  fi
  if [ -n "${TAIL_TEXT:-}" ] && ! python3 -c 'import sys; sys.exit(0 if open(sys.argv[1], "rb").read().endswith(sys.argv[2].encode().decode("unicode_escape").encode()) else 1)' \
    "$dir/win/out.txt" "$TAIL_TEXT"; then
    fail "$name" "console text does not end with the expected failure lines"
    return
  fi
  pass "$name"
}

cd "$base"

# --- front end: usage text and exit code without a port --------------------------------
dir=$(make_run usage)
(cd "$dir/win" && run_wine out.txt && echo "$rc" >rc) || true
(cd "$dir/linux" && run_linux out.txt && echo "$rc" >rc) || true
if [ "$(cat "$dir/win/rc")" != 1 ] || [ "$(cat "$dir/linux/rc")" != 1 ]; then
  fail usage "exit code wine $(cat "$dir/win/rc"), linux $(cat "$dir/linux/rc"), expected 1"
elif ! cmp -s "$dir/win/out.txt" "$dir/linux/out.txt"; then
  fail usage "usage text differs"
else
  pass usage
fi

# --- compound mode: console text and the compound file byte for byte --------------------
dir=$(make_run compound)
args=(-f -p 1 boot.sdb a.bin 0xf00000 b.bin 0xf10000)
(cd "$dir/win" && run_wine out.txt "${args[@]}" && echo "$rc" >rc) || true
(cd "$dir/linux" && run_linux out.txt "${args[@]}" && echo "$rc" >rc) || true
if [ "$(cat "$dir/win/rc")" != 0 ] || [ "$(cat "$dir/linux/rc")" != 0 ]; then
  fail compound "exit code wine $(cat "$dir/win/rc"), linux $(cat "$dir/linux/rc"), expected 0"
elif ! cmp -s "$dir/win/out.txt" "$dir/linux/out.txt"; then
  fail compound "console text differs"
elif [ ! -s "$dir/win/temp\$\$\$.hex" ] || ! cmp -s "$dir/win/temp\$\$\$.hex" "$dir/linux/temp\$\$\$.hex"; then
  fail compound "compound files differ"
else
  pass compound
fi

# --- updates against the simulator ----------------------------------------------------
device_scenario update-two-images 0 "" "-s" ok 115200 a.bin 0xf00000 b.bin 0xf20000 \
  "?d['commands'] == ['', 'vers', 'erase_pf', 'flashboot', 'dlbinpf', 'dlbinpf', 'reboot']" "?d['chip_erased']"
device_scenario page-erase 0 "" "-s -p" ok 115200 a.bin 0xf08000 \
  "?d['pages_erased'] == ['F080', 'F180']" "?not d['chip_erased']"
device_scenario nak-resend 0 "--nak-block 2 --nak-eot" "-s" ok 115200 a.bin 0xf00000 \
  "?d['transfers'][0]['naks_sent'] == 1" "?d['transfers'][0]['eot_naks'] == 1"
# The only run that waits for the transmitter to empty: the rate changes after the upload.
device_scenario rate-9600 0 "--initial-baud 9600" "-s -r9600" ok 9600,115200 app.bin 0xf00000
TAIL_TEXT='Could not send command\r\nCould not update file to page\r\n\r\nThe update of the device is FAILED!\r\n' \
  device_scenario failed-update 1 "--can-eot" "-s" failed
TAIL_TEXT='Could not get command prompt\r\n\r\nThe update of the device is FAILED!\r\n' \
  device_scenario no-prompt 1 "--silent-prompt" "-s" failed

# --- a port that is not there: three attempts, then exit 1 ------------------------------
dir=$(make_run missing-port)
rm -f "$WINEPREFIX/dosdevices/com7"
start=$(date +%s%N)
(cd "$dir/win" && run_wine out.txt -s 7 boot.sdb && echo "$rc" >rc) || true
ms=$((($(date +%s%N) - start) / 1000000))
(cd "$dir/linux" && run_linux out.txt -s "$dir/linux/noport" boot.sdb && echo "$rc" >rc) || true
if [ "$(cat "$dir/win/rc")" != 1 ] || [ "$(cat "$dir/linux/rc")" != 1 ]; then
  fail missing-port "exit code wine $(cat "$dir/win/rc"), linux $(cat "$dir/linux/rc"), expected 1"
elif ! grep -q "Couldn't open serial port." "$dir/win/out.txt"; then
  fail missing-port "no \"Couldn't open serial port.\" line"
elif ! cmp -s "$dir/win/out.txt" "$dir/linux/out.txt"; then
  fail missing-port "console text differs"
elif [ "$ms" -lt 2900 ] || [ "$ms" -gt 15000 ]; then
  fail missing-port "took $ms ms, expected about 3 s of attempts"
else
  pass missing-port
fi

# --- an interrupt during a download: the temporary file goes, the process ends at once ---
# Wine turns SIGINT into a CTRL_C_EVENT for the console handlers, as Ctrl+C does on
# Windows. A process ended by STATUS_CONTROL_C_EXIT (0xC000013A) leaves Wine with the
# exit status 0x3A; the Linux build ends by the signal itself (128 + 2).
interrupt_side() {  # want_rc tool args...: runs in the current folder; sets why (empty when good)
  local want_rc=$1 pid start ms irc=0
  shift
  why=""
  "$@" >out.txt 2>out.err </dev/null &
  pid=$!
  for _ in $(seq 600); do
    [ -e "temp\$\$\$.hex" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -e "temp\$\$\$.hex" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    why="no temporary file appeared"
    return
  fi
  sleep 0.3
  start=$(date +%s%N)
  kill -INT "$pid"
  wait "$pid" || irc=$?
  ms=$((($(date +%s%N) - start) / 1000000))
  # Windows closes a process's handles before anyone sees it end. Wine's server does it
  # just after the Unix process has gone; a file deleted through its handle may still be
  # there for a moment.
  for _ in $(seq 20); do
    [ -e "temp\$\$\$.hex" ] || break
    sleep 0.05
  done
  if [ "$irc" -ne "$want_rc" ]; then
    why="exit status $irc, expected $want_rc"
  elif [ "$ms" -gt 2000 ]; then
    why="ended $ms ms after the interrupt"
  elif [ -e "temp\$\$\$.hex" ]; then
    why="the temporary file is still there"
  fi
}
dir=$(make_run interrupt)
why_wine="simulator did not start"
why_linux="simulator did not start"
cd "$dir/win"
if start_sim "$com5" report.json --c-delay-ms 4000; then
  interrupt_side 58 "$wine" "$exe" -s 5 boot.sdb app.bin 0xf00000
  why_wine=$why
  stop_sim 1
fi
cd "$dir/linux"
if start_sim "$dir/linux/port" report.json --c-delay-ms 4000; then
  interrupt_side 130 "$tool" -s "$dir/linux/port" boot.sdb app.bin 0xf00000
  why_linux=$why
  stop_sim 1
fi
cd "$base"
if [ -n "$why_wine" ]; then
  fail interrupt "wine: $why_wine"
elif [ -n "$why_linux" ]; then
  fail interrupt "linux: $why_linux"
elif ! why=$(same_text "$dir/win/out.txt" "$dir/linux/out.txt" 2>&1); then
  fail interrupt "$why"
elif ! why=$(cd "$dir/win" && python3 "$base/check.py" failed report.json "$dir/linux/report.json" 2>&1); then
  fail interrupt "$why"
else
  pass interrupt
fi

# --- the pause between devices ends at a key typed on the console -----------------------
# Standard input is a pseudo-terminal, as in a terminal window; two devices in a row.
dir=$(make_run pause-key)
cd "$dir/win"
if start_sim "$com5" report.json --devices 2; then
  python3 - "$exe" "$wine" >key.txt 2>&1 <<'EOF' || true
import os, pty, select, subprocess, sys, time
exe, wine = sys.argv[1:3]
master, slave = pty.openpty()
with open("out.txt", "wb") as out:
    p = subprocess.Popen([wine, exe, "5", "boot.sdb", "app.bin", "0xf00000"], stdin=slave, stdout=out,
                         stderr=subprocess.DEVNULL, start_new_session=True)
os.close(slave)
pause = b"Hit any key to continue or wait 20 sec "
typed, start = [], time.time()
while time.time() - start < 60 and len(typed) < 2:
    if open("out.txt", "rb").read().count(pause) > len(typed):
        time.sleep(0.3)
        os.write(master, b"x")
        typed.append(time.time())
    while select.select([master], [], [], 0)[0]:
        try:
            os.read(master, 1024)
        except OSError:
            break
    time.sleep(0.05)
if len(typed) == 2:
    print("second pause %.1f s after the first key" % (typed[1] - typed[0]))
p.terminate()
try:
    p.wait(5)
except subprocess.TimeoutExpired:
    p.kill()
EOF
  stop_sim 0
  gap=$(sed -n 's/^second pause \([0-9.]*\) s.*/\1/p' key.txt)
  if [ -z "$gap" ]; then
    fail pause-key "the second device was not served within 60 s: $(tr '\n' ' ' <key.txt)"
  elif ! python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 15 else 1)" "$gap"; then
    fail pause-key "the key did not end the 20 s pause (next pause after $gap s)"
  elif ! python3 -c 'import json,sys; r=json.load(open("report.json")); sys.exit(0 if len(r["devices"]) == 2 and all(d["rebooted"] for d in r["devices"]) else 1)'; then
    fail pause-key "the simulator did not see two good updates"
  else
    pass pause-key
  fi
else
  fail pause-key "simulator did not start"
fi
cd "$base"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
