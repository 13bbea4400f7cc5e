#!/usr/bin/env bash
# Saves a picture of the desktop program's main window to docs/screenshot.png.
# Runs it under a virtual X server with a throw-away settings store filled with
# sample fields and presets; talks to nothing but loopback.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
program="$build/bin/nuvix"
out="$root/docs/screenshot.png"
[ -x "$program" ] || { echo "screenshot: $program not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in for yt-dlp so the start-up check passes without the real tool.
cat > "$work/yt-dlp" <<'SH'
#!/bin/sh
echo 2099.01.01
SH
chmod 700 "$work/yt-dlp"

export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Orvanta"
cat > "$XDG_CONFIG_HOME/Orvanta/Nuvix.conf" <<INI
[General]
YT_DLP_PATH=$work/yt-dlp
NUVIX_URL=https://video.example/watch?v=evening-news
NUVIX_STREAMID=studio-a
NUVIX_SRTHOST=127.0.0.1
NUVIX_SRTPORT=9001
NUVIX_MAX_HEIGHT=1080
NUVIX_ALWAYS_ON=true
NUVIX_PRESETS="@ByteArray({\"Concert hall\":{\"maxheight\":0,\"srthost\":\"127.0.0.1\",\"srtport\":\"9002\",\"streamid\":\"hall\",\"url\":\"https://video.example/live/hall\"},\"Evening news\":{\"maxheight\":1080,\"srthost\":\"127.0.0.1\",\"srtport\":\"9001\",\"streamid\":\"studio-a\",\"url\":\"https://video.example/watch?v=evening-news\"},\"Weather\":{\"maxheight\":720,\"srthost\":\"\",\"srtport\":\"\",\"streamid\":\"wx\",\"url\":\"https://video.example/live/weather\"}})"
INI
# The update check goes to a closed loopback port and fails silently.
export NUVIX_UPDATE_HOST=127.0.0.1:9
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

export PROGRAM="$program" OUT="$out"
xvfb-run -a -s "-screen 0 800x700x24" bash -c '
    set -euo pipefail
    "$PROGRAM" >/dev/null 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT
    id=""
    for _ in $(seq 100); do
        id=$(xwininfo -root -tree 2>/dev/null | awk "/\"Nuvix   ver 1.0 BETA\"/ {print \$1; exit}")
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "screenshot: the window did not appear" >&2; exit 1; }
    sleep 1.5
    import -window "$id" "$OUT"
'
echo "screenshot: $out"
