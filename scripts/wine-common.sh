# Sourced by the Wine test scripts: what both need around a Wine prefix.

# start_xvfb FIRST LAST LOG: an X server of our own for the windows the
# programs open, on the first free display from FIRST to LAST. Sets
# `display` and `xvfb_pid`.
start_xvfb() {
  display=""
  for n in $(seq "$1" "$2"); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
  done
  [ -n "$display" ] || { echo "$(basename "$0"): no free X display" >&2; exit 1; }
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$3" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
}

# finish_work DIR: removes the scratch directory, or keeps it (and says
# where) with WQN_WINE_KEEP=1.
finish_work() {
  if [ "${WQN_WINE_KEEP:-}" = 1 ]; then
    echo "$(basename "$0"): prefix kept in $1"
  else
    rm -rf "$1"
  fi
}
