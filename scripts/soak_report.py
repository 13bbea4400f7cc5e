#!/usr/bin/env python3
"""Summary of a soak run (see soak.sh): engine memory over time and pacing drift.

RSS: the samples of the first minute are the warm-up (buffers and libraries settle);
after it, growth is the mean of the last minute against the mean of the second minute,
and the slope a least-squares fit over all samples after the warm-up.

Pacing: for every PES start of the video, offset = arrival time - DTS time. A sender
that keeps real time keeps the offset constant; the drift at the end is the median
offset of the last 10 s minus the median offset of the 10 s after the warm-up.
"""

import argparse
import statistics
import sys

WARM_UP_S = 60
RSS_GROWTH_LIMIT_KIB = 4096
DRIFT_LIMIT_MS = 100.0


def read_rss(path):
    samples = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                samples.append((int(parts[0]), int(parts[1])))
    return samples


def read_offsets(path):
    """(arrival seconds, offset seconds) of every video PES start, DTS unwrapped."""
    points = []
    wrap = 1 << 33
    last_dts = None
    unwrapped = 0
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 3 or parts[0] != "dts":
                continue
            at = int(parts[1]) / 1e9
            dts = int(parts[2])
            if last_dts is not None and dts < last_dts - wrap // 2:
                unwrapped += wrap
            last_dts = dts
            points.append((at, at - (dts + unwrapped) / 90000.0))
    return points


def slope_per_minute(samples):
    if len(samples) < 2:
        return 0.0
    xs = [t / 60.0 for t, _ in samples]
    ys = [r for _, r in samples]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else 0.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rss", required=True)
    ap.add_argument("--arrivals", required=True)
    ap.add_argument("--engine-alive", type=int, required=True)
    ap.add_argument("--engine-code", default="")
    ap.add_argument("--minutes", type=float, required=True)
    args = ap.parse_args()

    ok = True
    lines = ["soak summary (%.0f min)" % args.minutes]
    if not args.engine_alive:
        lines.append("FAIL: the engine ended before the time was up")
        ok = False
    lines.append("engine exit code after SIGTERM: %s" % (args.engine_code or "?"))

    rss = read_rss(args.rss)
    settled = [s for s in rss if s[0] >= WARM_UP_S]
    if len(settled) >= 12:
        values = [r for _, r in settled]
        second_minute = [r for t, r in settled if t < WARM_UP_S + 60]
        last_minute = [r for t, r in settled if t > settled[-1][0] - 60]
        growth = statistics.fmean(last_minute) - statistics.fmean(second_minute)
        lines.append("RSS samples: %d every 10 s; first %d KiB, after warm-up min %d / max %d KiB, last %d KiB"
                     % (len(rss), rss[0][1], min(values), max(values), rss[-1][1]))
        lines.append("RSS growth (last minute vs second minute): %+.0f KiB; slope %+.1f KiB/min"
                     % (growth, slope_per_minute(settled)))
        if growth > RSS_GROWTH_LIMIT_KIB:
            lines.append("FAIL: RSS grew by more than %d KiB" % RSS_GROWTH_LIMIT_KIB)
            ok = False
    else:
        lines.append("FAIL: too few RSS samples after the warm-up (%d)" % len(settled))
        ok = False

    points = read_offsets(args.arrivals)
    if len(points) > 100:
        t0 = points[0][0]
        begin = [o for at, o in points if WARM_UP_S <= at - t0 < WARM_UP_S + 10]
        end_t = points[-1][0]
        end = [o for at, o in points if at > end_t - 10]
        if begin and end:
            drift_ms = (statistics.median(end) - statistics.median(begin)) * 1000.0
            spread = sorted(o for at, o in points if at - t0 >= WARM_UP_S)
            late = [(o - spread[0]) * 1000.0 for o in spread]
            lines.append("pacing: %d video PES starts over %.0f s; drift at the end %+.1f ms"
                         % (len(points), end_t - t0, drift_ms))
            lines.append("arrival lateness after warm-up (vs the most punctual PES start): "
                         "p50 %.1f ms, p99 %.1f ms, max %.1f ms"
                         % (late[len(late) // 2], late[min(len(late) - 1, int(len(late) * 0.99))], late[-1]))
            if abs(drift_ms) >= DRIFT_LIMIT_MS:
                lines.append("FAIL: pacing drift of %.1f ms" % drift_ms)
                ok = False
        else:
            lines.append("FAIL: no arrivals to compare at the start or the end")
            ok = False
    else:
        lines.append("FAIL: the receiver recorded %d PES starts" % len(points))
        ok = False

    lines.append("result: %s" % ("PASS" if ok else "FAIL"))
    print("\n".join(lines))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
