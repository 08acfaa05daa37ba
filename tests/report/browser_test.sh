#!/usr/bin/env bash
# The shift report in a real browser: vorla-report makes the page of the sample records,
# headless Chromium renders it, and the rendered DOM must hold the sample's figures, no
# request may leave the page (its HTML names nothing outside itself, and Chromium's network
# log shows no request that the page started), and a screenshot of it must not be blank.
# Before that, without a browser: a file that is not a record and a page over its record are
# refused with exit 1 and their texts. The page and the screenshot stay in OUT_DIR. Exit 77
# (skipped) when Chromium is absent.
#   browser_test.sh VORLA_REPORT SAMPLE_DIR OUT_DIR
set -euo pipefail
report=$1 samples=$2 out=$3
mkdir -p "$out"
out=$(cd "$out" && pwd)
fail() { echo "FAIL: $*"; exit 1; }

# First without a browser: what is refused, with its exit code and text.
printf 'name,value\r\nx,1\r\n' >"$out/not-a-record.csv"
set +e
text=$("$report" -o"$out/x.html" "$samples/station1.csv" "$out/not-a-record.csv")
code=$?
set -e
[[ $code == 1 && $text == "The file $out/not-a-record.csv is not a production record: it has no header of ours"$'\r' ]] ||
  fail "a file that is not a record: exit $code, $text"
[[ ! -e $out/x.html ]] || fail "a page was written for a refused record"
set +e
text=$("$report" -o"$samples/station1.csv" "$samples/station1.csv")
code=$?
set -e
[[ $code == 1 && $text == "The report $samples/station1.csv would replace the record $samples/station1.csv"$'\r' ]] ||
  fail "a report over its record: exit $code, $text"

browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z $browser ]]; then
  echo "SKIP: no chromium on this machine (scripts/deps.sh --all installs it)"
  exit 77
fi
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
# Each run gets a fresh profile; these flags also work as root in a container.
run_browser() {
  rm -rf "$profile"/*
  timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$profile" \
    --hide-scrollbars "$@" 2>/dev/null
}

page=$out/sample_report.html
console=$("$report" -o"$page" "$samples/station1.csv" "$samples/station2.csv") || fail "vorla-report exit $?"
[[ $console == *"Report of 318 boards from 2 record file(s) written to $page"* ]] || fail "console: $console"

# Nothing outside the page: no address, no reference, no script, no font.
if grep -qiE 'https?:|//|src=|href=|url\(|@import|@font-face|<script|<link|<iframe|<object|<embed' "$page"; then
  fail "the page names something outside itself: $(grep -oiE '.{20}(https?:|//|src=|href=|url\(|@import|@font-face|<script|<link|<iframe|<object|<embed).{20}' "$page" | head -3)"
fi

run_browser --log-net-log="$out/net-log.json" --dump-dom "file://$page" >"$out/sample_report.dom.html" ||
  fail "chromium could not render the page"
dom=$out/sample_report.dom.html
for want in 'id="boards">318<' 'id="failed">16<' 'id="yield">94.9&nbsp;%<' 'id="worst-port">line1-pc COM5<' \
  'id="unreadable">1<' 'id="median">40.5&nbsp;s<' 'well below the rest'; do
  grep -qF "$want" "$dom" || fail "the rendered page lacks $want"
done

# The browser's own background requests are started by no page ("not an origin"); a
# request that the page made carries the page's origin ("null" for a file).
python3 - "$out/net-log.json" <<'EOF' || fail "the page made requests"
import json, sys
log = json.load(open(sys.argv[1]))
start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
left = [e["params"].get("url") for e in log["events"]
        if e["type"] == start and e.get("params", {}).get("initiator", "not an origin") != "not an origin"]
print("requests from the page:", left)
sys.exit(1 if left else 0)
EOF

# A hostile record: names that are markup must show as text.
hostile=$out/hostile.csv
printf 'time_utc,host,port,board,result,seconds,failed_step,images,bootloader_sha256\r\n%s\r\n' \
  '2026-12-07T10:00:00Z,<img src=x>,"<b>&""COM9""",1,failed,3.0,</table><h1>x,,' >"$hostile"
"$report" "$hostile" >/dev/null || fail "vorla-report on the hostile record"
run_browser --dump-dom "file://$out/hostile.html" >"$out/hostile.dom.html" || fail "chromium on the hostile page"
grep -qiE '<img|<b>|<h1>x' "$out/hostile.dom.html" && fail "a field became markup"
grep -qF '&lt;b&gt;&amp;"COM9"' "$out/hostile.dom.html" || fail "the hostile port is not shown as text"

shot=$out/sample_report.png
rm -f "$shot"
run_browser --window-size=1200,1800 --screenshot="$shot" "file://$page" >/dev/null || fail "no screenshot"
# A blank page of that size makes a PNG of about 10 KB; the sample's is over 200 KB.
size=$(stat -c %s "$shot")
read -r magic w h < <(od -An -tx1 -N8 "$shot" | tr -d ' \n'; echo -n ' '
  od -An -tu1 -j16 -N8 "$shot" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
[[ $magic == 89504e470d0a1a0a && $w -ge 1000 && $h -ge 1000 && $size -gt 60000 ]] ||
  fail "the screenshot is blank or no PNG: $magic, ${w}x$h, $size bytes"
echo "PASS: the report renders in $("$browser" --version 2>/dev/null | head -n 1) with its figures; screenshot $shot"
