#!/usr/bin/env bash
# The history's page as a browser shows it: two stations' runs of the
# command line against simulated instruments (refusals, a retry that
# mends, a unit whose serial is markup) kept in a history of their own,
# wexel-history's page of it, then that page in headless Chromium: its
# screenshot (the README's picture) and the document it parsed, which must
# show the markup serial as text, hold no script and carry the figures
# reckoned below.
#
#   reportinbrowser.sh BUILD_DIR SAMPLE_FILE [SHOT_DIR]
#
# Needs chromium. The screenshot goes to SHOT_DIR (default
# BUILD_DIR/report-shots)/history-report.png.
set -euo pipefail
build=$1
sample=$2
shots=${3:-$build/report-shots}
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
browser=""
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  # Chromium's whole process group, its helpers included.
  [ -z "$browser" ] || kill -TERM -- "-$browser" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
fail() {
  echo "FAIL: $*" >&2
  [ -s "$work/chromium.log" ] && tail -n 20 "$work/chromium.log" >&2
  exit 1
}

history=$work/history.sqlite
fast=(--erase-tick-ms 2 --erase-ticks 10 --hand-over-ms 10)

start_sim() {  # start_sim NAME ARGS... ; sets sim_dev
  local out=$work/$1.out
  shift
  "$build/sim/wexel-instrument-sim" --erase-ms 10 --quiet --json "$@" >"$out" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  sim_dev=$(head -n 1 "$out")
  [ -e "$sim_dev" ] || fail "simulator $1 gave no device"
}
run_cli() {  # run_cli EXPECTED_EXIT ARGS...
  local expected=$1 status=0
  shift
  "$build/cli/wexel-update-cli" --quiet --history "$history" "${fast[@]}" "$@" "$sample" \
    2>>"$work/cli.log" || status=$?
  [ "$status" = "$expected" ] || { cat "$work/cli.log" >&2; fail "command line exit $status, not $expected"; }
}

# Bay 1, no retries: two units pass, the third refuses line 7.
start_sim a; a=$sim_dev
start_sim b; b=$sim_dev
start_sim c --refuse-line 7; c=$sim_dev
run_cli 7 --station-id bay-1 --operator ana \
  --port "$a" --unit-serial SN-1001 --port "$b" --unit-serial SN-1002 --port "$c" --unit-serial SN-1003

# Bay 2, one retry: SN-2001 refuses line 5 once and passes on its retry,
# the unit with markup for a serial passes, SN-2003 refuses line 3 twice.
hostile='<script>alert(1)</script>'
start_sim d --refuse-line 5 --fault-once; d=$sim_dev
start_sim e; e=$sim_dev
start_sim f --refuse-line 3; f=$sim_dev
run_cli 7 --station-id bay-2 --operator ben --retries 1 \
  --port "$d" --unit-serial SN-2001 --port "$e" --unit-serial "$hostile" --port "$f" --unit-serial SN-2003

page=$work/report.html
# From the history's folder, so that the page (and the README's picture)
# names the history by its file, not by a temporary folder.
(cd "$work" && "$build/report/wexel-history" --history history.sqlite html "$page") \
  || fail "wexel-history html: exit $?"

# Headless, offline and in folders of its own: no profile, cache or crash
# report of the user's is read or written, no name resolves and every
# request, loopback's too, goes to a proxy that cannot be reached, so the
# page can show only what it holds. Scripts blocked in the profile: the
# page needs none, and one that slipped in stays in the document to be
# found instead of holding the browser up with its dialog (the switch that
# turns scripts off in the renderer stops the screenshot and the dump
# too). Its own process group, so that the cleanup ends its helpers with
# it.
mkdir -p "$work/home" "$work/tmp" "$work/profile/Default"
echo '{"profile": {"default_content_setting_values": {"javascript": 2}}}' >"$work/profile/Default/Preferences"
chromium_run() {  # chromium_run OUT ARGS...: the browser's standard output to OUT
  local out=$1 status=0
  shift
  HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache TMPDIR=$work/tmp \
    setsid timeout -k 5 60 chromium --headless=new --no-sandbox --disable-gpu \
    --user-data-dir="$work/profile" --no-first-run --no-default-browser-check \
    --disable-background-networking --disable-component-update --disable-sync --disable-extensions \
    --disable-breakpad --disable-domain-reliability --no-pings --dns-prefetch-disable \
    --host-resolver-rules='MAP * ~NOTFOUND' --proxy-server='http://offline.invalid' --proxy-bypass-list='<-loopback>' \
    "$@" "file://$page" >"$out" 2>>"$work/chromium.log" &
  browser=$!
  wait "$browser" || status=$?
  # Any helper the browser left behind goes with its group.
  kill -TERM -- "-$browser" 2>/dev/null || true
  browser=""
  [ "$status" != 124 ] || fail "chromium did not end within 60 s"
  [ "$status" = 0 ] || fail "chromium exit $status"
}

chromium_run "$work/shot.out" --hide-scrollbars --window-size=1200,900 --screenshot="$work/history-report.png"
[ -s "$work/history-report.png" ] || fail "no screenshot"
# The PNG's header: its width and height, 4 bytes each from byte 16.
size=$(od -An -tu1 -j16 -N8 "$work/history-report.png" | tr -s ' ')
[ "$size" = " 0 0 4 176 0 0 3 132" ] || fail "screenshot is not 1200 x 900: $size"
cp "$work/history-report.png" "$shots/history-report.png"

dom=$work/dom.html
chromium_run "$dom" --dump-dom
grep -q '<h1>Unit history</h1>' "$dom" || fail "no page in the dumped document"
has_text() { grep -qF -- "$1" "$dom" || fail "not in the page: $1"; }
# The markup serial is a cell's text, and nothing on the page is a script.
has_text '<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>'
if grep -qi '<script' "$dom"; then fail "a script element in the page: $(grep -io '<script[^<]*' "$dom" | head -n 3)"; fi
# Six units, eight attempts (bay 1: 3, bay 2: 2 + 1 + 2), four of them
# failed; at the first attempt SN-1001, SN-1002 and the markup unit
# passed (3 of 6), at the last SN-2001 too (4 of 6).
card() { has_text "<div class=\"t\">$1</div><div class=\"v$2\">$3</div>"; }
card units '' 6
card attempts '' 8
card 'first-pass yield' '' 50.0%
card 'final yield' ' pass' 66.7%
card 'failed attempts' ' fail' 4
has_text '<tr><td>bay-1</td><td class="n">3</td><td class="n">3</td><td class="n">66.7%</td><td class="n">66.7%</td></tr>'
has_text '<tr><td>bay-2</td><td class="n">3</td><td class="n">5</td><td class="n">33.3%</td><td class="n">66.7%</td></tr>'
has_text '<tr><td>write-refused</td><td class="n">4</td>'
echo "page: 6 units, 8 attempts, the markup serial as text, screenshot $shots/history-report.png"
