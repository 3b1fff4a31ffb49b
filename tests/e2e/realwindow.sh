#!/usr/bin/env bash
# The desktop program in a real X server with real input: a technician's
# whole update of the simulated instrument, then a refused one, then a
# hostile hand: a dead end after an unanswered erase, a link test raced by
# the upload button, a refusal after a half-written update, a file without
# an end line and SIGTERM in the middle of the write phase. Then the
# production station with four simulated instruments, one refusing a line,
# started with Return and retried with Ctrl+R; and with 32 on a screen of
# 1920 x 1080, two of them refusing a line.
#
# Only the first update waits the instrument's own 5 s of erase and 1 s of
# hand-over, with its screenshot of the erase bar on the way; every other
# runs with the waits shortened (the programs' --erase-tick-ms and the like).
#
#   realwindow.sh BUILD_DIR SAMPLE_FILE [SHOT_DIR]
#
# Needs Xvfb, xdotool, xprop, openbox and ImageMagick's import. Screenshots
# of each phase go to SHOT_DIR (default BUILD_DIR/realwindow-shots).
set -euo pipefail
build=$1
sample=$2
shots=${3:-$build/realwindow-shots}
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; shot failure; exit 1; }
shot() { import -window root "$shots/$1.png" 2>/dev/null || true; }
# A display of our own at SIZE: Xvfb picks a free number itself and says
# which, so that another test starting a display at the same moment cannot
# take the one we looked at and found free. -noreset: between two steps no
# client is connected, and a server resetting then refuses the next
# program's connection.
started_display=""
start_display() {  # SIZE NAME; sets started_display, e.g. ":93"
  local file="$work/display-$2"
  Xvfb -displayfd 3 -noreset -screen 0 "$1" -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.05; done
  [ -s "$file" ] || return 1
  started_display=":$(head -n 1 "$file")"
}

# 1024 x 768, as on the bench PCs.
start_display 1024x768x24 bench || fail "no X display"
display=$started_display
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
unset QT_QPA_PLATFORM

start_sim() {  # start_sim NAME ARGS... ; sets sim_pid and sim_dev
  local out=$work/$1.out; shift
  "$build/sim/wexel-instrument-sim" --erase-ms 500 --quiet --json "$@" >"$out" &
  sim_pid=$!; pids+=($sim_pid)
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  sim_dev=$(head -n 1 "$out")
  [ -e "$sim_dev" ] || fail "simulator gave no device"
}
# Run in this shell, never in $(...): a subshell cannot wait for the
# simulator, and would read its output before the summary is written.
stop_sim() {  # stop_sim NAME: sets summary to the summary JSON
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  summary=$(tail -n +2 "$work/$1.out")
}
wait_window() {  # wait_window TITLE SECONDS
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}
wait_gone() {  # wait_gone TITLE SECONDS: until no visible window has the title
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
# Clicks at a point given in twips inside a panel whose top-left is at
# (x0, y0) pixels of the frame's client area; 15 twips a pixel at 96 dpi.
click_twips() {  # click_twips FRAME_ID PANEL_LEFT_TWIPS PANEL_TOP_TWIPS X_TWIPS Y_TWIPS
  local geo x y
  eval "$(xdotool getwindowgeometry --shell "$1")"
  x=$((X + ($2 + $4) / 15)); y=$((Y + ($3 + $5) / 15))
  xdotool mousemove "$x" "$y" click 1
}

# Where the controls are (twips): the settings panel at 30,30, the main
# panel at 30,860; Frame1 at 120,2160 inside the main panel.
PORT_BOX="30 30 1860 510"
LINK_TEST_BUTTON="30 30 3127 507"
OPEN_BUTTON="30 860 1327 427"
UPLOAD_BUTTON="30 860 1327 2707"

# The waits shortened, as the command line and the station take them.
fast=(--erase-tick-ms 2 --erase-ticks 10 --hand-over-ms 10)

run_update() {  # run_update NAME FILE EXPECTED_TITLE [PROGRAM ARGS...]
  local name=$1 file=$2 title=$3
  shift 3
  "$build/desktop/wexel-update" "$@" &
  app=$!; pids+=($app)
  frame=$(wait_window "Wexel_Update Program" 15) || fail "the window did not appear"
  sleep 0.5
  shot "$name-1-started"
  # The port: select the box's text and type the simulator's device.
  click_twips "$frame" $PORT_BOX
  xdotool key ctrl+a
  xdotool type --delay 5 "$sim_dev"
  # The file, through the dialog.
  click_twips "$frame" $OPEN_BUTTON
  dialog=$(wait_window "Load firmware file" 10) || fail "the file dialog did not open"
  sleep 0.5
  shot "$name-2-dialog"
  xdotool windowfocus --sync "$dialog" 2>/dev/null || true
  xdotool type --delay 5 "$file"
  xdotool key Return
  wait_gone "Load firmware file" 10 || fail "the file dialog stayed open"
  shot "$name-3-chosen"
  click_twips "$frame" $UPLOAD_BUTTON
  # Half way through the erase with the instrument's waits; at once with
  # shortened ones.
  if [ $# -eq 0 ]; then sleep 3; else sleep 0.3; fi
  shot "$name-4-erasing"
  # With the instrument's waits no result can come before 6 s: one now
  # means the program did not wait them.
  if [ $# -eq 0 ] && xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; then
    fail "\"$title\" within 3 s of the upload: the erase and hand-over were not waited"
  fi
  box=$(wait_window "$title" 30) || fail "no \"$title\" box"
  sleep 0.3
  shot "$name-5-result"
  # Read the message box's text from the accessible text in the screenshot is
  # not possible; the title and the simulator's record tell what happened.
  xdotool windowfocus --sync "$box" 2>/dev/null || true
  xdotool key Return
  wait_gone "$title" 10 || fail "the \"$title\" box stayed open"
  shot "$name-6-after"
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

# 1. The whole update, with the instrument's own waits: the simulator must
# hold the image the CLI delivers.
start_sim reference --exit-after-end
"$build/cli/wexel-update-cli" --quiet --port "$sim_dev" --erase-tick-ms 1 --erase-ticks 5 --hand-over-ms 1 "$sample" \
  || fail "reference update through the command line failed"
wait "$sim_pid" 2>/dev/null || true
reference=$(tail -n +2 "$work/reference.out")

start_sim ok
run_update ok "$sample" "Update OK"
stop_sim ok
checksum() { sed -n 's/.*"checksum": *"\([0-9A-Fa-f]*\)".*/\1/p' <<<"$1"; }
lines() { sed -n 's/.*"lines_received": *\([0-9]*\).*/\1/p' <<<"$1"; }
[ -n "$(checksum "$reference")" ] || fail "no checksum in the reference summary: $reference"
[ "$(checksum "$summary")" = "$(checksum "$reference")" ] || fail "image differs: $summary vs $reference"
[ "$(lines "$summary")" = "$(lines "$reference")" ] || fail "line count differs: $summary vs $reference"
echo "update OK: $(lines "$summary") lines, checksum $(checksum "$summary")"

# 2. The instrument refuses line 10.
start_sim refused --refuse-line 10
run_update refused "$sample" "Code Download error" "${fast[@]}"
stop_sim refused
[ "$(lines "$summary")" = "10" ] || fail "expected 10 lines received before the refusal: $summary"
echo "refusal shown: \"Code Download error\" after line 10"

# The program opened on the simulator's port with a file, as a script does.
launch() {  # launch FILE [ARGS...]: sets app and frame; the waits shortened
  local file=$1; shift
  "$build/desktop/wexel-update" --port "$sim_dev" --file "$file" "${fast[@]}" "$@" &
  app=$!; pids+=($app)
  frame=$(wait_window "Wexel_Update Program" 15) || fail "the window did not appear"
  sleep 0.5
}
press_ok() {  # press_ok TITLE SECONDS: waits for the box and closes it
  local box
  box=$(wait_window "$1" "$2") || { shot "no-box"; fail "no \"$1\" box"; }
  sleep 0.3
  xdotool windowfocus --sync "$box" 2>/dev/null || true
  xdotool key Return
  wait_gone "$1" 10 || fail "the \"$1\" box stayed open"
}
quit_app() {
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}
field_of() {  # field_of NAME JSON: a number or boolean field
  sed -n "s/.*\"$1\": *\([0-9a-z]*\).*/\1/p" <<<"$2"
}

# 4. No answer to the erase: the message sends the technician to the link
# test, which must be there to press.
start_sim silent --erase ignore
launch "$sample" --read-timeout-ms 1000
click_twips "$frame" $UPLOAD_BUTTON
press_ok "Error" 20
click_twips "$frame" $LINK_TEST_BUTTON
sleep 1
shot hostile-1-link-test-after-silence
quit_app
stop_sim silent
[ "$(field_of link_tests "$summary")" = "1" ] || fail "the link test was not there after an unanswered erase: $summary"
echo "after an unanswered erase the link test works"

# 5. "Upload firmware" pressed while a late link test waits for its answer:
# nothing starts, and the upload pressed afterwards succeeds.
small=$work/small.txt
printf '@F000\n31 40 00 24\nq\n' >"$small"
start_sim late --ack-delay-ms 1000
launch "$small"
click_twips "$frame" $LINK_TEST_BUTTON
sleep 0.3
click_twips "$frame" $UPLOAD_BUTTON
sleep 1.7
click_twips "$frame" $UPLOAD_BUTTON
press_ok "Update OK" 30
quit_app
stop_sim late
[ "$(field_of erase_count "$summary")" = "1" ] || fail "expected one erase, after the link test: $summary"
[ "$(field_of lines_received "$summary")" = "3" ] || fail "expected the 3 lines: $summary"
echo "the upload waits for the link test"

# 6. The cable is pulled at line 12; the next upload finds no port and says
# the instrument is as the last update left it.
# The port is a link the simulator removes as it ends: its pseudo-terminal's
# number may go to another program at once, the link's name to nobody.
record=$work/hostile.jsonl
start_sim hangup --hangup-after-line 12 --link "$work/ttyHANGUP"
sim_dev=$work/ttyHANGUP
launch "$sample" --record "$record"
click_twips "$frame" $UPLOAD_BUTTON
press_ok "Code Download error" 30
click_twips "$frame" $UPLOAD_BUTTON
press_ok "Code Download error" 15
quit_app
stop_sim hangup
[ "$(wc -l <"$record")" = "2" ] || fail "expected two records: $(cat "$record")"
tail -n 1 "$record" | grep -q "nothing was sent this time; the instrument is as the last update left it" \
  || fail "the refused upload forgot the half-written instrument: $(tail -n 1 "$record")"
echo "a refused upload names the half-written instrument"

# 7. A file without an end line: "Update OK", recorded without an end reply.
noend=$work/noend.txt
printf '@F000\n31 40 00 24\n32 41\n' >"$noend"
rm -f "$record"
start_sim noend
launch "$noend" --record "$record"
click_twips "$frame" $UPLOAD_BUTTON
press_ok "Update OK" 30
quit_app
stop_sim noend
grep -q '"ok":true' "$record" || fail "no successful record: $(cat "$record")"
grep -q 'the file has no end line' "$record" || fail "the record does not say the end line was missing: $(cat "$record")"
grep -q '"end_reply"' "$record" && fail "an end reply recorded for a file without an end line"
echo "a file without an end line is recorded as such"

# 8. SIGTERM (a logout) in the write phase: the update ends as interrupted,
# recorded, with the port closed and its lock gone. The write phase of the
# sample takes some 12 s at 20 ms a line; the erase, half a second.
rm -f "$record"
start_sim sigterm --ack-delay-ms 20
launch "$sample" --record "$record"
click_twips "$frame" $UPLOAD_BUTTON
sleep 3
shot hostile-2-writing
kill -TERM "$app"
status=0
wait "$app" || status=$?
[ "$status" = "143" ] || fail "exit status $status after SIGTERM, not 143"
stop_sim sigterm
grep -q '"outcome":"interrupted"' "$record" || fail "no record of the interrupted update: $(cat "$record")"
[ "$(field_of failed_line "$(cat "$record")")" -gt 0 ] || fail "the record names no line: $(cat "$record")"
lock=LCK..$(readlink -f "$sim_dev" | sed 's#^/dev/##; s#/#_#g')
for d in /var/lock /run/lock /tmp; do
  [ -f "$d/$lock" ] && [ "$(head -n 1 "$d/$lock" | tr -d ' ')" = "$app" ] && fail "lock $d/$lock left behind"
done
echo "SIGTERM while writing: recorded as interrupted, exit 143, no lock left"

# 9. The production station: four lanes, the third refusing line 10 every
# time. Return starts them all; Ctrl+R starts only the failed one again.
# The window at the end of the first run is the README's picture.
station_sims=() station_ports=()
for i in 1 2 3 4; do
  if [ "$i" = 3 ]; then start_sim "station-$i" --refuse-line 10; else start_sim "station-$i"; fi
  station_sims+=("$sim_pid") station_ports+=(--port "$sim_dev")
done
record=$work/station.jsonl
"$build/desktop/station/wexel-station" "${station_ports[@]}" --file "$sample" --record "$record" \
  --erase-tick-ms 2 --erase-ticks 10 --hand-over-ms 10 --read-timeout-ms 2000 -geometry 1000x700 &
app=$!; pids+=($app)
frame=$(wait_window "Wexel Station" 15) || fail "the station's window did not appear"
sleep 0.5
records_are() {  # records_are N SECONDS: waits for N records
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    [ -f "$record" ] && [ "$(wc -l <"$record")" -ge "$1" ] && return 0
    sleep 0.2
  done
  return 1
}
xdotool windowfocus --sync "$frame" 2>/dev/null || true
xdotool key Return
records_are 4 60 || fail "the station's four lanes did not all end: $(cat "$record" 2>/dev/null)"
# A tile is redrawn on the next tick after its lane ends.
sleep 0.5
import -window "$frame" "$shots/station.png" 2>/dev/null || shot station
# Records are JSON objects with their keys in order: "lane" before "outcome".
outcomes() { sed -n 's/.*"lane":"\([^"]*\)".*"outcome":"\([a-z-]*\)".*/\1 \2/p' "$record" | sort; }
expected=$(printf '%s\n' "Lane 1 success" "Lane 2 success" "Lane 3 write-refused" "Lane 4 success")
[ "$(outcomes)" = "$expected" ] || fail "station records: $(outcomes)"
xdotool windowfocus --sync "$frame" 2>/dev/null || true
xdotool key ctrl+r
records_are 5 60 || fail "Ctrl+R started no lane: $(cat "$record")"
sleep 1
[ "$(wc -l <"$record")" = 5 ] || fail "Ctrl+R started more than the failed lane: $(cat "$record")"
tail -n 1 "$record" | grep -q '"lane":"Lane 3"' || fail "Ctrl+R did not start the failed lane: $(tail -n 1 "$record")"
quit_app
for i in 1 2 3 4; do
  sim_pid=${station_sims[$((i - 1))]}
  stop_sim "station-$i"
  want=1; [ "$i" = 3 ] && want=2
  [ "$(field_of erase_count "$summary")" = "$want" ] || fail "simulator $i erased $(field_of erase_count "$summary") times, not $want"
done
echo "station: Return updated four lanes (one refused line 10), Ctrl+R only the failed one"

# 10. 32 lanes on a 1920 x 1080 bench screen: every tile in view, PASS and
# FAIL readable from two metres; lanes 7 and 26 refuse line 10. The window
# at the end of the run is the README's second picture.
start_display 1920x1080x24 wide || fail "no X display for 1920 x 1080"
wide=$started_display
for _ in $(seq 50); do DISPLAY=$wide xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
station_sims=() station_ports=()
for i in $(seq 32); do
  case $i in 7 | 26) start_sim "wide-$i" --refuse-line 10 ;; *) start_sim "wide-$i" ;; esac
  station_sims+=("$sim_pid") station_ports+=(--port "$sim_dev")
done
record=$work/wide.jsonl
DISPLAY=$wide "$build/desktop/station/wexel-station" "${station_ports[@]}" --file "$sample" --record "$record" \
  --erase-tick-ms 2 --erase-ticks 10 --hand-over-ms 10 --read-timeout-ms 5000 -geometry 1920x1080+0+0 &
app=$!; pids+=($app)
frame=$(DISPLAY=$wide wait_window "Wexel Station" 15) || fail "the 32-lane station did not appear"
sleep 0.5
DISPLAY=$wide xdotool windowfocus --sync "$frame" 2>/dev/null || true
DISPLAY=$wide xdotool key Return
records_are 32 120 || fail "the 32 lanes did not all end: $(wc -l <"$record" 2>/dev/null) records"
sleep 0.5
DISPLAY=$wide import -window root "$shots/station-32.png" 2>/dev/null || true
refused=$(grep -c '"outcome":"write-refused"' "$record" || true)
[ "$refused" = 2 ] || fail "expected the two refusing lanes to fail, not $refused: $(outcomes)"
quit_app
for p in "${station_sims[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
echo "station: 32 lanes on 1920 x 1080, two refused line 10"

# 3. Under a window manager the frame's outer size is 5580 x 6100 twips,
# border and title bar included, and the frame sits where the centring put
# it: on 1024 x 768 at 15 twips a pixel, left 4890 and top 960 twips.
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
"$build/desktop/wexel-update" &
app=$!; pids+=($app)
frame=$(wait_window "Wexel_Update Program" 15) || fail "the window did not appear under openbox"
extents=""
for _ in $(seq 50); do
  extents=$(xprop -id "$frame" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ' ')
  [ -n "$extents" ] && break
  sleep 0.1
done
[ -n "$extents" ] || fail "openbox gave no frame extents"
IFS=, read -r left right top bottom <<<"$extents"
sleep 0.5
shot wm-frame
info=$(xwininfo -id "$frame")
field() { sed -n "s/^ *$1: *//p" <<<"$info"; }
X=$(field "Absolute upper-left X"); Y=$(field "Absolute upper-left Y")
WIDTH=$(field Width); HEIGHT=$(field Height)
outer="$((WIDTH + left + right))x$((HEIGHT + top + bottom))"
corner="$((X - left)),$((Y - top))"
[ "$outer" = "372x407" ] || fail "outer frame $outer under openbox (client ${WIDTH}x$HEIGHT, extents $extents), not 372x407"
[ "$corner" = "326,64" ] || fail "outer frame at $corner under openbox, not 326,64"
echo "outer frame under openbox: $outer at $corner (client ${WIDTH}x$HEIGHT, extents $extents)"
echo "screenshots in $shots"
