# scripts/lib.sh — shell helpers the demo and screenshot scripts share (sourced, not run).

# wait_for SECONDS COMMAND...: polls the command every 0.1 s until it succeeds; false on time-out.
wait_for() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    ((tries--)) || return 1
    sleep 0.1
  done
}

# True once busfinder-sim printed its ready line, or once it has died (no point waiting then).
sim_settled() {
  grep -q '^ready ' "$1/sim.out" && return 0
  ! kill -0 "$sim_pid" 2>/dev/null
}

# start_sim DIR SECONDS SIM [OPTION...]: starts busfinder-sim with its output in DIR/sim.out and
# DIR/sim.err, sets sim_pid and waits up to SECONDS for its ready line (--wine-com set-up takes
# a few seconds). Fails with the simulator's own message when it did not come up.
start_sim() {
  local dir="$1" seconds="$2"
  shift 2
  "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
  sim_pid=$!
  wait_for "$seconds" sim_settled "$dir" || true
  if ! grep -q '^ready ' "$dir/sim.out"; then
    echo "busfinder-sim did not start:" >&2
    cat "$dir/sim.err" >&2
    return 1
  fi
}

# start_xvfb DIR: a display of our own (Xvfb takes a free number and writes it to fd 3); sets
# xvfb_pid and DISPLAY.
start_xvfb() {
  local dir="$1"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
  xvfb_pid=$!
  if ! wait_for 10 test -s "$dir/display"; then
    echo "Xvfb did not start" >&2
    cat "$dir/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$(head -n1 "$dir/display")"
}

# wine_fonts: Wine's own Tahoma and Marlett (the caption buttons' glyphs), from Debian's
# fonts-wine, into $WINEPREFIX, which doesn't find them by itself; without them stand-in fonts are used.
wine_fonts() {
  local font
  for font in /usr/share/wine/fonts/{tahoma,tahomabd,marlett}.ttf; do
    if [ -f "$font" ]; then cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"; fi
  done
}
