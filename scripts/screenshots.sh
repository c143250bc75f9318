#!/usr/bin/env bash
# Screenshots of the status window in its states, taken under Xvfb from the built program, into
# docs/. Usage: scripts/screenshots.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

W=480 H=300 PORT=${KOVRAX_SHOT_PORT:-43777}

if [ "${1:-}" != "--inside" ]; then
  bin="${1:-build}/Client/kovrax"
  [ -x "$bin" ] || { echo "no program at $bin: build first (scripts/build.sh release)" >&2; exit 1; }
  for t in xvfb-run xwd xwdtopnm pnmtopng pamcut xdotool curl; do
    command -v "$t" >/dev/null || { echo "missing $t: run scripts/install-deps.sh" >&2; exit 1; }
  done
  exec xvfb-run -a -s "-screen 0 ${W}x${H}x24" "$0" --inside "$(realpath "$bin")" "$(realpath docs)"
fi

bin=$2 out=$3
home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_RUNTIME_DIR=$home
unset KOVRAX_CONFIG WAYLAND_DISPLAY QT_QPA_PLATFORM

shot() {  # name [left top width height]
  if [ $# -eq 5 ]; then
    xwd -root -silent | xwdtopnm 2>/dev/null | pamcut -left "$2" -top "$3" -width "$4" -height "$5" | pnmtopng >"$out/$1"
  else
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$out/$1"
  fi
  echo "wrote docs/$1"
}

"$bin" "$PORT" 2>/dev/null &
pid=$!
hexport=$(printf '%04X' "$PORT")
for _ in $(seq 200); do
  grep -q "0100007F:$hexport 00000000:0000 0A" /proc/net/tcp && break
  sleep 0.05
done
grep -q "0100007F:$hexport 00000000:0000 0A" /proc/net/tcp || { echo "the program did not listen on $PORT" >&2; exit 1; }

# The window: 122 by 60 (plus frame) in the bottom right corner, 2 pixels from the edges.
wx=$((W - 122 - 2)) wy=$((H - 60 - 2))
sleep 1
shot kovrax-listening.png $((wx - 6)) $((wy - 6)) 130 68

# A ballot for a server the agent must refuse: the error animation and red lines in the log.
curl -s -o /dev/null -X POST -H 'Content-Type: application/x-www-form-urlencoded' \
  --data 'glas=1' "http://127.0.0.1:$PORT/?Server=https://elsewhere.example/&OkURL=https://elsewhere.example/ok" || true
sleep 0.6
shot kovrax-error.png $((wx - 6)) $((wy - 6)) 130 68
# Rest the mouse on the window: the hint with the coloured log opens after half a second.
xdotool mousemove $((wx + 40)) $((wy + 40))
sleep 1.2
shot kovrax-log-hint.png 0 $((H - 110)) $W 110
