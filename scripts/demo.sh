#!/usr/bin/env bash
# Relays a generated 20-second sample through kby_nuvix over loopback: the sample is
# served by a local HTTP server, the engine sends it as MPEG-TS over SRT to a local
# SRT listener, and what arrived is summarised at the end.
#
#   scripts/demo.sh [BUILD_DIR]      (make demo)
set -euo pipefail

BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
BIN=$BUILD/bin
DEMO=$BUILD/demo
SAMPLE=$DEMO/sample.mp4
RECEIVED=$DEMO/received.ts
SECONDS_OF_MEDIA=20

for tool in "$BIN/kby_nuvix" "$BIN/srt_test_listener"; do
  [ -x "$tool" ] || { echo "demo: $tool is missing; run 'make build' first" >&2; exit 1; }
done
for tool in ffmpeg ffprobe python3; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing; run 'make deps'" >&2; exit 1; }
done
mkdir -p "$DEMO"

if [ ! -s "$SAMPLE" ]; then
  echo "demo: generating a ${SECONDS_OF_MEDIA}-second sample (test pattern + 440 Hz tone, H.264 + AAC)"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=640x360:rate=25:duration=$SECONDS_OF_MEDIA" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$SECONDS_OF_MEDIA" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -b:v 800k \
    -c:a aac -b:a 96k -ac 2 -movflags +faststart -shortest "$SAMPLE.tmp.mp4"
  mv "$SAMPLE.tmp.mp4" "$SAMPLE"
fi

HTTP_PID=
LISTENER_PID=
cleanup() {
  [ -n "$LISTENER_PID" ] && kill "$LISTENER_PID" 2>/dev/null || true
  [ -n "$HTTP_PID" ] && kill "$HTTP_PID" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Reads "listening <port>" from a service's output file; gives up after 10 s.
wait_port() {
  local file=$1 i
  for i in $(seq 1 100); do
    if grep -q '^listening ' "$file" 2>/dev/null; then
      awk '/^listening /{print $2; exit}' "$file"
      return 0
    fi
    sleep 0.1
  done
  echo "demo: service did not start; see $file" >&2
  return 1
}

python3 "$ROOT/engine/tests/support/http_server.py" "$DEMO" --port 0 --max-seconds 300 \
  >"$DEMO/http.out" 2>"$DEMO/http.err" &
HTTP_PID=$!
HTTP_PORT=$(wait_port "$DEMO/http.out")

rm -f "$RECEIVED"
"$BIN/srt_test_listener" --port 0 --out "$RECEIVED" --max-seconds 300 \
  >"$DEMO/listener.out" 2>"$DEMO/listener.err" &
LISTENER_PID=$!
SRT_PORT=$(wait_port "$DEMO/listener.out")

MEDIA_URL="http://127.0.0.1:$HTTP_PORT/sample.mp4"
SRT_URL="srt://127.0.0.1:$SRT_PORT?streamid=demo"
echo "demo: serving $SAMPLE at $MEDIA_URL"
echo "demo: SRT listener on 127.0.0.1:$SRT_PORT writing to $RECEIVED"
echo "demo: kby_nuvix --media-url $MEDIA_URL --srt-url $SRT_URL"
echo "demo: relaying ${SECONDS_OF_MEDIA} s of media in real time (event lines on the left, log lines indented)"
echo

START=$(date +%s.%N)
set +e
# Event lines (standard output) as they come; log lines (standard error) indented.
timeout 120 "$BIN/kby_nuvix" --media-url "$MEDIA_URL" --srt-url "$SRT_URL" \
  2> >(sed -u 's/^/      log  /' >&2) | sed -u 's/^/    event  /'
CODE=${PIPESTATUS[0]}
set -e
END=$(date +%s.%N)
sleep 0.2

# The listener ends by itself once the connection has closed.
for i in $(seq 1 50); do
  kill -0 "$LISTENER_PID" 2>/dev/null || break
  sleep 0.1
done

echo
echo "demo: engine exit code $CODE after $(awk -v a="$START" -v b="$END" 'BEGIN{printf "%.1f", b-a}') s"
if [ ! -s "$RECEIVED" ]; then
  echo "demo: nothing arrived at the listener" >&2
  exit 1
fi
echo "demo: what arrived at the SRT listener ($RECEIVED):"
ffprobe -v error -show_entries format=format_name,duration:stream=index,codec_type,codec_name,width,height,sample_rate,channels \
  -of json "$RECEIVED" >"$DEMO/received.json"
ffprobe -v error -show_entries format=duration -of json "$SAMPLE" >"$DEMO/sample.json"
python3 - "$DEMO/received.json" "$DEMO/sample.json" "$(stat -c %s "$RECEIVED")" <<'PY'
import json, sys
got = json.load(open(sys.argv[1]))
src = json.load(open(sys.argv[2]))
print("    bytes     %s" % sys.argv[3])
print("    format    %s" % got["format"]["format_name"])
print("    duration  %.2f s (source %.2f s)" % (float(got["format"].get("duration", 0)),
                                              float(src["format"].get("duration", 0))))
for s in got.get("streams", []):
    if s.get("codec_type") == "video":
        print("    stream %d  video  %s %sx%s" % (s["index"], s.get("codec_name"), s.get("width"), s.get("height")))
    else:
        print("    stream %d  %s  %s %s Hz, %s channels" % (s["index"], s.get("codec_type"), s.get("codec_name"),
                                                          s.get("sample_rate"), s.get("channels")))
PY
exit "$CODE"
