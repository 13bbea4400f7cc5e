#!/usr/bin/env bash
# Soak run: a live HLS source relayed by kby_nuvix for a long time on loopback, with the
# engine's memory sampled every 10 s and its pacing measured at the receiver.
#
#   scripts/soak.sh BUILD_DIR [MINUTES]      (default 10 minutes)
#
# The source is the ffmpeg tool's HLS muxer writing a sliding-window playlist in real
# time (-re, 2-second segments, six in the window, old ones deleted), served by the test
# HTTP server; the receiver is bin/ts_arrival_receiver, which stamps every PES start of
# the video with its arrival time. Results go to <BUILD_DIR>/soak/: rss.tsv (seconds,
# RSS in KiB), arrivals.txt, the engine's output, and summary.txt, which is also printed.
# Exit code 0 when the engine ran the whole time, its memory did not grow beyond noise
# and the pacing drift at the end is below 100 ms.
set -euo pipefail

build=$(cd "${1:?usage: scripts/soak.sh BUILD_DIR [MINUTES]}" && pwd)
minutes=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/bin"
out="$build/soak"
seconds=$((minutes * 60))
for p in "$bin/kby_nuvix" "$bin/ts_arrival_receiver"; do
    [ -x "$p" ] || { echo "soak: $p is missing (build first)" >&2; exit 2; }
done

rm -rf "$out"
mkdir -p "$out/www/live"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$out/www"
}
trap cleanup EXIT

say() { echo "soak: $*"; }

# Waits (at most $2 seconds) until file $1 has a line matching $3; prints the line.
wait_line() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        if grep -m1 -E "$3" "$1" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

say "live HLS source for $((seconds + 60)) s"
ffmpeg -nostdin -hide_banner -loglevel error -re \
    -f lavfi -i "testsrc2=size=640x360:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -t $((seconds + 60)) \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0 \
    -b:v 1000k -maxrate 1000k -bufsize 1000k \
    -c:a aac -b:a 96k -ac 2 \
    -f hls -hls_time 2 -hls_list_size 6 -hls_flags delete_segments+independent_segments \
    -hls_segment_filename "$out/www/live/seg%05d.ts" "$out/www/live/index.m3u8" \
    >"$out/source.log" 2>&1 &
pids+=($!)
for ((i = 0; i < 300; i++)); do
    [ -f "$out/www/live/index.m3u8" ] && [ "$(grep -c '^seg' "$out/www/live/index.m3u8")" -ge 3 ] && break
    sleep 0.1
done
[ -f "$out/www/live/index.m3u8" ] || { echo "soak: the HLS source did not start" >&2; cat "$out/source.log" >&2; exit 1; }

python3 "$root/engine/tests/support/http_server.py" "$out/www" --max-seconds $((seconds + 300)) \
    >"$out/http.log" 2>&1 &
pids+=($!)
http_port=$(wait_line "$out/http.log" 10 '^listening ' | awk '{print $2}')

"$bin/ts_arrival_receiver" --record "$out/arrivals.txt" --max-seconds $((seconds + 300)) \
    >"$out/receiver.log" 2>&1 &
receiver=$!
pids+=($receiver)
srt_port=$(wait_line "$out/receiver.log" 10 '^listening ' | awk '{print $2}')
[ -n "$http_port" ] && [ -n "$srt_port" ] || { echo "soak: a loopback service did not start" >&2; exit 1; }

url="http://127.0.0.1:$http_port/live/index.m3u8"
say "relaying $url to srt://127.0.0.1:$srt_port for $minutes min"
"$bin/kby_nuvix" --media-url "$url" --srt-url "srt://127.0.0.1:$srt_port?streamid=soak" \
    >"$out/engine.out" 2>"$out/engine.err" &
engine=$!
pids+=($engine)

start=$(date +%s)
: >"$out/rss.tsv"
alive=1
for ((t = 0; t <= seconds; t += 10)); do
    # Sleep to the next 10-second mark of the run.
    now=$(($(date +%s) - start))
    [ $t -gt $now ] && sleep $((t - now))
    if ! kill -0 "$engine" 2>/dev/null; then
        alive=0
        say "the engine ended after $t s"
        break
    fi
    rss=$(awk '/^VmRSS:/{print $2}' "/proc/$engine/status" 2>/dev/null || echo "")
    [ -n "$rss" ] && printf '%d\t%s\n' "$t" "$rss" >>"$out/rss.tsv"
    if ((t % 60 == 0)); then say "$t s: RSS $rss KiB"; fi
done

engine_code=""
if [ $alive -eq 1 ]; then
    kill -TERM "$engine"
fi
for ((i = 0; i < 100; i++)); do kill -0 "$engine" 2>/dev/null || break; sleep 0.1; done
wait "$engine" && engine_code=0 || engine_code=$?
for ((i = 0; i < 100; i++)); do kill -0 "$receiver" 2>/dev/null || break; sleep 0.1; done
kill -TERM "$receiver" 2>/dev/null || true
wait "$receiver" 2>/dev/null || true

python3 "$root/scripts/soak_report.py" --rss "$out/rss.tsv" --arrivals "$out/arrivals.txt" \
    --engine-alive "$alive" --engine-code "$engine_code" --minutes "$minutes" | tee "$out/summary.txt"
exit "${PIPESTATUS[0]}"
