# The update story, played on the real updater in an X display the way a person plays it:
# mouse clicks at the controls' places and key presses, with xdotool; what happens is read
# back from what a person sees (window titles, the colours of the board buttons' captions in
# screenshots) and keeps (the log files). Sourced by tests/acceptance/acceptance-story and by
# scripts/demo, so the demo and the acceptance test tell exactly the same story.
#
# Set before calling story_setup:
#   STORY_UPDATER   the updater's executable (a private copy: it deploys digidecw beside itself)
#   STORY_SIM       kx7391-sim
#   STORY_WORK      a directory for ports/, flash/, run/ (the updater's working directory)
# Optional:
#   STORY_RUN       the updater's working directory, where it chooses one itself ($STORY_WORK/run)
#   STORY_UPDATER_ARGS  options for the updater
#   STORY_SHOTS     where the screenshots of the main moments go (none when empty)
#   STORY_SERIAL    serial number typed in (09680123)
#   STORY_COM       port number the simulator publishes (99: after any real port in the list)
#   STORY_WRITER_SECONDS   duration of the DigiDec writer run (4)
#   STORY_SIM_ARGS  further options for the simulator (--no-pace --erase-time 0.5; empty: paced)
#   STORY_DEV_DIR   device folder the updater lists real ports from (the machine's /dev)
#   STORY_LIMIT     seconds allowed for any one visible outcome (90)
#
# story_fail ends the calling script; story_cleanup (installed as the EXIT trap by
# story_setup) stops the updater, the simulator and the X server that the story started.

STORY_SERIAL=${STORY_SERIAL:-09680123}
STORY_COM=${STORY_COM:-99}
STORY_WRITER_SECONDS=${STORY_WRITER_SECONDS:-4}
STORY_SIM_ARGS=${STORY_SIM_ARGS---no-pace --erase-time 0.5}
STORY_LIMIT=${STORY_LIMIT:-90}

# Where the controls sit in their windows (left top width height), as the windows lay them out.
declare -A STORY_RECT=(
  [SerialNumberEdit]="262 38 123 33"
  [ComSearchButton]="48 132 105 25"
  [ConnectTestBitBtn]="120 196 169 41"
  [MainBoard]="16 280 121 73"
  [Decoder]="143 280 113 73"
  [Panel]="262 280 110 73"
  [DigiDec]="383 280 112 73"
  [SHWriteButton]="65 287 137 33"
  [SHOkButton]="345 405 129 33"
  [DDWriteButton]="64 128 321 36"
  [DDOkButton]="288 349 97 41"
  [DDProgressBar1]="64 280 321 17"
  [DDProgressBar2]="64 297 321 17"
)
# Caption colours of the board buttons, as the screenshot holds them.
declare -A STORY_COLOUR=([FF00FF]=fuchsia [008000]=green [0000FF]=blue [FFFF00]=yellow [FF0000]=red)
STORY_MAIN_TITLE='^KX7391Updater  [(]'

STORY_T0=$EPOCHREALTIME
STORY_PIDS=()
STORY_BOXES=0
STORY_SHOT_COUNT=0

story_say() { printf '[%6.1f s] %s\n' "$(story_elapsed)" "$*"; }
story_elapsed() { awk -v a="$STORY_T0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
story_fail() {
  printf '[%6.1f s] FAILED: %s\n' "$(story_elapsed)" "$*" >&2
  if [ -n "${STORY_MAIN:-}" ] && [ -n "${DISPLAY:-}" ]; then
    import -window root "$STORY_WORK/failure-screen.png" 2>/dev/null &&
      echo "  the screen at that moment: $STORY_WORK/failure-screen.png" >&2
  fi
  exit 1
}

story_cleanup() {
  local i
  for ((i = ${#STORY_PIDS[@]} - 1; i >= 0; i--)); do
    kill -TERM "${STORY_PIDS[i]}" 2>/dev/null || true
    wait "${STORY_PIDS[i]}" 2>/dev/null || true
  done
  STORY_PIDS=()
}

story_setup() {
  local tool
  for tool in Xvfb xdotool import convert xdpyinfo; do
    command -v "$tool" >/dev/null || story_fail "$tool is missing (scripts/install-deps installs it)"
  done
  STORY_RUN=${STORY_RUN:-$STORY_WORK/run}
  mkdir -p "$STORY_WORK/ports" "$STORY_WORK/flash" "$STORY_WORK/run"
  [ -z "${STORY_SHOTS:-}" ] || mkdir -p "$STORY_SHOTS"
  trap story_cleanup EXIT
}

# A private X server on the first free display number.
story_start_x() {
  local numfile=$STORY_WORK/x-display
  rm -f "$numfile"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$numfile" \
    >"$STORY_WORK/xvfb.log" 2>&1 &
  STORY_PIDS+=($!)
  local until=$((SECONDS + 30))
  while ! grep -qE '^[0-9]+$' "$numfile" 2>/dev/null; do
    [ $SECONDS -lt $until ] || story_fail "Xvfb did not start (see $STORY_WORK/xvfb.log)"
    sleep 0.1
  done
  export DISPLAY=:$(head -n 1 "$numfile")
  xdpyinfo >/dev/null 2>&1 || story_fail "cannot reach the X server $DISPLAY"
  story_say "X server $DISPLAY (Xvfb, 1280x800)"
}

# The simulated receiver, published as COM$STORY_COM in the private port directory.
story_start_sim() {
  # shellcheck disable=SC2086  # the options are words
  "$STORY_SIM" --port-dir "$STORY_WORK/ports" --com "$STORY_COM" --flash-dir "$STORY_WORK/flash" \
    $STORY_SIM_ARGS >"$STORY_WORK/sim.out" 2>"$STORY_WORK/sim.err" &
  STORY_PIDS+=($!)
  STORY_SIM_PID=$!
  local until=$((SECONDS + 30))
  until grep -q "^COM$STORY_COM " "$STORY_WORK/sim.out" 2>/dev/null; do
    kill -0 "$STORY_SIM_PID" 2>/dev/null || story_fail "the simulator ended: $(cat "$STORY_WORK/sim.err")"
    [ $SECONDS -lt $until ] || story_fail "the simulator did not publish its port"
    sleep 0.1
  done
  STORY_PORT_ENTRY="COM$STORY_COM($(awk 'NR == 1 { print $2 }' "$STORY_WORK/sim.out"))"
  story_say "receiver simulator: $STORY_PORT_ENTRY (${STORY_SIM_ARGS:-paced at the line bit rate})"
}

# The updater in its working directory, with the simulator's port directory.
story_start_updater() {
  local ready=$STORY_WORK/updater-ready
  rm -f "$ready"
  (
    cd "$STORY_WORK/run"
    export QT_QPA_PLATFORM=xcb KX7391_PORT_DIR=$STORY_WORK/ports KX7391_READY_FILE=$ready
    export KX7391_WRITER_SECONDS=$STORY_WRITER_SECONDS
    [ -z "${STORY_DEV_DIR:-}" ] || export KX7391_DEV_DIR=$STORY_DEV_DIR
    # shellcheck disable=SC2086  # the options are words
    exec "$STORY_UPDATER" ${STORY_UPDATER_ARGS:-} >"$STORY_WORK/updater.out" 2>&1
  ) &
  STORY_PIDS+=($!)
  STORY_UPDATER_PID=$!
  story_wait "the updater's main window" story_visible_main
  story_say "updater up: window \"$(xdotool getwindowname "$STORY_MAIN")\""
}

story_visible_main() {
  [ -f "$STORY_WORK/updater-ready" ] || return 1
  STORY_MAIN=$(xdotool search --onlyvisible --name "$STORY_MAIN_TITLE" 2>/dev/null | head -n 1)
  [ -n "$STORY_MAIN" ]
}

# Waits, answering message boxes as they come, until the command succeeds.
story_wait() {
  local what=$1 limit=$STORY_LIMIT
  shift
  if [[ $1 =~ ^[0-9]+$ ]]; then
    limit=$1
    shift
  fi
  local until=$((SECONDS + limit))
  while ! "$@"; do
    story_answer_boxes
    if [ -n "${STORY_UPDATER_PID:-}" ] && ! kill -0 "$STORY_UPDATER_PID" 2>/dev/null; then
      story_fail "the updater ended while waiting for $what (see $STORY_WORK/updater.out)"
    fi
    [ $SECONDS -lt $until ] || story_fail "no $what within $limit s"
    sleep 0.2
  done
}

# A window of the updater that is none of its four is a message box: a person reads it and
# presses Return. Each one is kept as a screenshot and counted.
story_answer_boxes() {
  local w name
  for w in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
    name=$(xdotool getwindowname "$w" 2>/dev/null) || continue
    [[ -z $name || $name =~ $STORY_MAIN_TITLE || $name =~ ^(MainBoard|Decoder|Panel)\ \ \[ || $name == Digi-Dec ]] &&
      continue
    STORY_BOXES=$((STORY_BOXES + 1))
    import -window "$w" "$STORY_WORK/box-$STORY_BOXES.png" 2>/dev/null || true
    story_say "message box \"$name\" (kept as box-$STORY_BOXES.png): Return"
    echo "$name" >>"$STORY_WORK/boxes.txt"
    xdotool windowfocus "$w" 2>/dev/null || true
    sleep 0.2
    xdotool key --clearmodifiers Return 2>/dev/null || true
    sleep 0.5
  done
}

# Clicks the middle of a control of a window.
story_click() {
  local win=$1 control=$2
  local -a r=(${STORY_RECT[$control]})
  xdotool mousemove --window "$win" $((r[0] + r[2] / 2)) $((r[1] + r[3] / 2)) click 1
}

story_shot() {
  local win=$1 name=$2
  [ -n "${STORY_SHOTS:-}" ] || return 0
  import -window "$win" "$STORY_SHOTS/$name.png" 2>/dev/null || story_fail "no screenshot of $name"
  STORY_SHOT_COUNT=$((STORY_SHOT_COUNT + 1))
  story_say "  screenshot $name.png"
}

# Keeps a screenshot already taken among the story's screenshots.
story_keep() {
  [ -n "${STORY_SHOTS:-}" ] || return 0
  cp "$1" "$STORY_SHOTS/$2.png"
  STORY_SHOT_COUNT=$((STORY_SHOT_COUNT + 1))
  story_say "  screenshot $2.png"
}

# The status colour that a button's caption shows: the colour of most of the caption's pixels
# among fuchsia, green, blue, yellow and red; "plain" when none of them shows.
story_caption_colour() {
  local win=$1 control=$2
  local -a r=(${STORY_RECT[$control]})
  local png=$STORY_WORK/probe.png
  import -window "$win" "$png" 2>/dev/null || { echo unknown; return; }
  # The inside of the button, clear of its frame.
  convert "$png" -crop "$((r[2] - 8))x$((r[3] - 8))+$((r[0] + 4))+$((r[1] + 4))" +repage \
    -format %c histogram:info:- 2>/dev/null |
    awk -v map="$(for k in "${!STORY_COLOUR[@]}"; do printf '%s=%s ' "$k" "${STORY_COLOUR[$k]}"; done)" '
      BEGIN { n = split(map, kv, " "); for (i = 1; i <= n; i++) { split(kv[i], p, "="); name[p[1]] = p[2] } }
      { count = $1 + 0; hex = ""
        for (i = 2; i <= NF; i++) if ($i ~ /^#[0-9A-F]+$/ && length($i) == 7) hex = substr($i, 2)
        if (hex in name && count > best) { best = count; colour = name[hex] } }
      END { print (best >= 25 ? colour : "plain") }'
}

story_colour_is() { [ "$(story_caption_colour "$1" "$2")" = "$3" ]; }

story_expect_colour() {
  local win=$1 control=$2 want=$3 limit=${4:-$STORY_LIMIT}
  story_wait "$want caption on $control" "$limit" story_colour_is "$win" "$control" "$want"
  story_say "  $control: $want"
}

# Waits for a run's end on a board button: blue; red is a failed run.
story_expect_blue_end() {
  local win=$1 control=$2 limit=${3:-$STORY_LIMIT}
  local until=$((SECONDS + limit)) c
  while :; do
    c=$(story_caption_colour "$win" "$control")
    [ "$c" != blue ] || break
    [ "$c" != red ] || story_fail "$control turned red: the run failed (see $STORY_RUN/KX7391Updater_Log.txt)"
    story_answer_boxes
    kill -0 "$STORY_UPDATER_PID" 2>/dev/null || story_fail "the updater ended during the $control run"
    [ $SECONDS -lt $until ] || story_fail "$control did not turn blue within $limit s (caption $c)"
    sleep 0.2
  done
  story_say "  $control: blue"
}

story_window() {
  local -n out=$1
  out=$(xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n 1)
  [ -n "$out" ]
}
story_no_window() { [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]; }

story_log_has() { grep -qF -- "$1" "$STORY_RUN/KX7391Updater_Log.txt" 2>/dev/null; }

# One pixel's colour of a window's screenshot, as #RRGGBB.
story_pixel() {
  convert "$1" -format "%[hex:p{$2,$3}]" info:- 2>/dev/null | cut -c1-6
}

# A progress bar is full when its right end shows what its left end shows, and that is no
# longer the empty bar's colour of the reference screenshot.
story_bar_full() {
  local png=$1 empty=$2 control=$3
  local -a r=(${STORY_RECT[$control]})
  local y=$((r[1] + r[3] / 2)) xl=$((r[0] + 12)) xr=$((r[0] + r[2] - 12))
  local left right before
  left=$(story_pixel "$png" "$xl" "$y")
  right=$(story_pixel "$png" "$xr" "$y")
  before=$(story_pixel "$empty" "$xr" "$y")
  [ -n "$left" ] && [ "$left" = "$right" ] && [ "$right" != "$before" ]
}

# --- The story -------------------------------------------------------------------------

story_step() { story_say "== $*"; }

# Steps 2 to 5 of the main window: serial number, COM Search, VersionCheck.
story_first_check() {
  local main=$STORY_MAIN
  story_step "Step 2: the serial number $STORY_SERIAL"
  # The keys go to the window that has the X focus, after the click that put Qt's focus into
  # the field: the X server hands both to the updater in this order.
  xdotool windowfocus "$main" 2>/dev/null || true
  story_click "$main" SerialNumberEdit
  sleep 0.3
  xdotool type --delay 60 "$STORY_SERIAL"
  story_step "Step 4: COM Search"
  # Leaving the serial number's field takes the number; the search lists the ports anew.
  story_click "$main" ComSearchButton
  story_wait "serial number's log $STORY_SERIAL""_Log.txt" test -f "$STORY_RUN/${STORY_SERIAL}_Log.txt"
  story_wait "COM search after the serial number" story_search_selected
  story_say "  selected $STORY_PORT_ENTRY"
  story_shot "$main" 01-main-window

  story_step "Step 5: VersionCheck"
  story_click "$main" ConnectTestBitBtn
  local b
  for b in MainBoard Decoder Panel DigiDec; do story_expect_colour "$main" "$b" fuchsia; done
  story_expect_colour "$main" ConnectTestBitBtn green
  story_shot "$main" 02-version-check
}

story_search_selected() {
  awk -v serial="SerialNumbrt Change to $STORY_SERIAL" -v sel="COMM select  $STORY_PORT_ENTRY" '
    index($0, serial) { seen = 1 } seen && index($0, sel) { found = 1 } END { exit !found }' \
    "$STORY_RUN/KX7391Updater_Log.txt" 2>/dev/null
}

# One SH board: its button, the writer window, WRITE START, the run to its end, OK.
story_write_board() {
  local board=$1 shot_before=$2 shot_after=$3
  local main=$STORY_MAIN sh title
  story_step "$board: the writer window, WRITE START"
  story_click "$main" "$board"
  story_wait "writer window for $board" story_window sh "^$board  \\[COM"
  title=$(xdotool getwindowname "$sh")
  [ "$title" = "$board  [$STORY_PORT_ENTRY]  $STORY_SERIAL" ] || story_fail "writer window titled \"$title\""
  story_say "  window \"$title\""
  # Dragged beside the main window, as a person would to watch both.
  xdotool windowmove --sync "$sh" 510 0 2>/dev/null || xdotool windowmove "$sh" 510 0
  sleep 0.3
  [ -z "$shot_before" ] || story_shot "$sh" "$shot_before"
  story_click "$sh" SHWriteButton
  story_expect_colour "$main" "$board" yellow 30
  story_expect_blue_end "$main" "$board"
  story_shot "$sh" "$shot_after"
  story_click "$sh" SHOkButton
  story_wait "writer window to close" 30 story_no_window "^$board  \\[COM"
}

story_digidec() {
  local main=$STORY_MAIN dd
  story_step "DigiDec: its window, WRITE START (writer run ${STORY_WRITER_SECONDS} s)"
  story_click "$main" DigiDec
  story_wait "DigiDec window" story_window dd '^Digi-Dec$'
  xdotool windowmove --sync "$dd" 510 0 2>/dev/null || xdotool windowmove "$dd" 510 0
  sleep 0.3
  local empty=$STORY_WORK/digidec-before.png
  import -window "$dd" "$empty" || story_fail "no screenshot of the DigiDec window"
  story_keep "$empty" 09-digidec-window
  story_click "$dd" DDWriteButton
  story_expect_colour "$main" DigiDec yellow 30
  story_wait "the writer tool's first report" $((STORY_WRITER_SECONDS + 30)) story_log_has " WriterCmd [I:Erasing..]"
  story_shot "$dd" 10-digidec-running
  story_expect_blue_end "$main" DigiDec $((STORY_WRITER_SECONDS + 60))
  local done=$STORY_WORK/digidec-after.png
  import -window "$dd" "$done" || story_fail "no screenshot of the DigiDec window"
  story_bar_full "$done" "$empty" DDProgressBar1 || story_fail "DigiDec's overall bar is not full"
  story_bar_full "$done" "$empty" DDProgressBar2 || story_fail "DigiDec's phase bar is not full"
  story_say "  both bars full"
  story_keep "$done" 11-digidec-success
  story_click "$dd" DDOkButton
  story_wait "DigiDec window to close" 30 story_no_window '^Digi-Dec$'
}

story_second_check() {
  local main=$STORY_MAIN b
  story_step "The second VersionCheck"
  story_click "$main" ConnectTestBitBtn
  for b in MainBoard Decoder Panel; do story_expect_colour "$main" "$b" green; done
  story_expect_colour "$main" ConnectTestBitBtn green
  story_shot "$main" 13-second-check
}

# The whole story, from the main window to the second version check.
story_run() {
  story_first_check
  story_write_board MainBoard 03-shboot-mainboard 04-shboot-mainboard-written
  story_shot "$STORY_MAIN" 05-main-mainboard-written
  story_write_board Decoder "" 06-shboot-decoder-written
  story_write_board Panel "" 07-shboot-panel-written
  story_shot "$STORY_MAIN" 08-main-boards-written
  story_digidec
  story_shot "$STORY_MAIN" 12-main-digidec-written
  story_second_check
}

# The close request, as the window's close button gives it (SIGTERM is taken as one).
story_close_updater() {
  story_step "Close the updater"
  kill -TERM "$STORY_UPDATER_PID"
  local until=$((SECONDS + 30))
  while kill -0 "$STORY_UPDATER_PID" 2>/dev/null; do
    story_answer_boxes
    [ $SECONDS -lt $until ] || story_fail "the updater did not close"
    sleep 0.2
  done
  wait "$STORY_UPDATER_PID" 2>/dev/null && STORY_UPDATER_RC=0 || STORY_UPDATER_RC=$?
  STORY_UPDATER_PID=
  story_say "  updater ended with exit code $STORY_UPDATER_RC"
}
