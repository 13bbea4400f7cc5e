#!/usr/bin/env python3
"""Relay benchmark: kby_nuvix against the ffmpeg command-line tool doing the same job.

Both senders get the same source, served by the loopback HTTP server, and send MPEG-TS
over SRT to the same receiver program, bin/ts_arrival_receiver, which stamps every chunk
as srt_recv hands it over. Each SRT transfer mode (--modes, BENCH_MODES; both by default)
is a table of its own:

    file  the engine's default; the peer is
          ffmpeg -re -i URL -c copy -f mpegts 'srt://127.0.0.1:PORT?transtype=file&streamid=...'
    live  kby_nuvix with transtype=live; the peer is ffmpeg's own default (live)
          ffmpeg -re -i URL -c copy -f mpegts 'srt://127.0.0.1:PORT?streamid=...'
          and the receiver listens in live mode

Sources (--sources, BENCH_SOURCES; both by default):
  mp4   a generated 1920x1080 30 fps H.264 (6 Mbit/s) + AAC file, index first
  hls   an HLS VOD made from that file by ffmpeg's HLS muxer: 2-s MPEG-TS segments, whose
        packets are interleaved loosely (a packet often follows a later one of the other
        stream), as live HLS pages are

Measured per run:
  CPU time        user + system time of the sender process (wait4 rusage)
  peak RSS        ru_maxrss of the sender process
  first TS byte   from starting the sender to the first TS byte at the receiver
  jitter p99      for every PES start of the video, arrival - DTS, its median removed;
                  the p99 of that (how late the late packets are against the typical one)
  ctx switches    voluntary context switches of the sender process (wait4 rusage)
  pacing lag      for every PES start of the PCR stream (the video), its offset
                  arrival - DTS; a perfectly paced sender keeps it constant. The lag of
                  a packet is its offset minus the smallest offset of the run, that is
                  how much later than the most punctual packet's schedule it came
                  (always >= 0). p50/p99/max over the run. For comparison the table
                  also gives p99 against the first packet's schedule (negative: early).

Usage: bench.py --build BUILD_DIR [--runs N] [--seconds S] [--modes file,live] [--sources mp4,hls]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TARGETS = {
    "cpu": 1.0,     # ours / peer at most
    "rss": 0.5,     # ours / peer at most
    "lag_p99_ms": 30.0,
    "jitter_p99_ms": {"mp4": 5.0, "hls": 10.0},
}
SOURCES = ("mp4", "hls")


def log(msg):
    print("bench: " + msg, flush=True)


def generate_source(folder, seconds):
    path = os.path.join(folder, "bench_1080p_%ds.mp4" % seconds)
    if os.path.exists(path) and os.path.getsize(path) > 0:
        return path
    log("generating a %d-second 1920x1080 H.264 + AAC source (once)" % seconds)
    tmp = path + ".tmp.mp4"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=%d" % seconds,
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=%d" % seconds,
         "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60",
         "-b:v", "6000k", "-maxrate", "6000k", "-bufsize", "6000k",
         "-c:a", "aac", "-b:a", "128k", "-ac", "2", "-movflags", "+faststart", "-shortest", tmp],
        check=True, timeout=900)
    os.replace(tmp, path)
    return path


def generate_hls(folder, mp4):
    """The mp4 remuxed by ffmpeg's HLS muxer into 2-s TS segments; returns the playlist."""
    name = os.path.splitext(os.path.basename(mp4))[0] + "_hls"
    out = os.path.join(folder, name)
    playlist = os.path.join(out, "index.m3u8")
    if os.path.exists(playlist):
        return playlist
    log("making the HLS VOD (2-s segments) from %s (once)" % os.path.basename(mp4))
    tmp = out + ".tmp"
    subprocess.run(["rm", "-rf", tmp], check=True)
    os.makedirs(tmp)
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", mp4, "-c", "copy",
         "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod",
         "-hls_segment_filename", os.path.join(tmp, "seg%03d.ts"), os.path.join(tmp, "index.m3u8")],
        check=True, timeout=300)
    subprocess.run(["rm", "-rf", out], check=True)
    os.replace(tmp, out)
    return playlist


def read_port(proc, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    line = ""
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if line.startswith("listening "):
            return int(line.split()[1])
        if not line and proc.poll() is not None:
            break
    raise RuntimeError("%s did not report its port (%r)" % (what, line))


def percentile(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    k = (len(s) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def one_run(name, command_for, bin_dir, work, tag, mode):
    record = os.path.join(work, "arrivals_%s_%s.txt" % (name, tag))
    receiver = subprocess.Popen(
        [os.path.join(bin_dir, "ts_arrival_receiver"), "--port", "0", "--record", record, "--max-seconds", "300",
         "--transtype", mode],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = read_port(receiver, "ts_arrival_receiver")
        cmd = command_for(port)
        t0 = time.monotonic_ns()
        sender = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=open(os.path.join(work, "%s_%s.err" % (name, tag)), "w"))
        _, status, usage = os.wait4(sender.pid, 0)
        sender.returncode = os.waitstatus_to_exitcode(status)
        receiver.wait(timeout=30)
    finally:
        if receiver.poll() is None:
            receiver.kill()
            receiver.wait()

    first_byte = None
    dts = []
    total = 0
    with open(record) as f:
        for line in f:
            parts = line.split()
            if parts[0] == "first_byte":
                first_byte = int(parts[1])
            elif parts[0] == "dts":
                dts.append((int(parts[1]), int(parts[2])))
            elif parts[0] == "bytes":
                total = int(parts[1])
    # Offsets in milliseconds; only differences between them matter.
    offsets = [at / 1e6 - d / 90.0 for at, d in dts]
    lags = [o - min(offsets) for o in offsets] if offsets else []
    middle = statistics.median(offsets) if offsets else 0.0
    jitter = [o - middle for o in offsets]
    from_first = [o - offsets[0] for o in offsets] if offsets else []
    return {
        "exit": sender.returncode,
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "nvcsw": usage.ru_nvcsw,
        "jitter_p99_ms": percentile(jitter, 99),
        "rss_kb": usage.ru_maxrss,
        "ttfb_ms": (first_byte - t0) / 1e6 if first_byte else float("nan"),
        "lag_p50_ms": percentile(lags, 50),
        "lag_p99_ms": percentile(lags, 99),
        "lag_max_ms": max(lags) if lags else float("nan"),
        "lag_first_p99_ms": percentile(from_first, 99),
        "samples": len(lags),
        "bytes": total,
    }


def senders_for(mode, url, bin_dir):
    """Command per sender for one transfer mode and source address; each takes the receiver's port."""
    ours_query = "streamid=bench" + ("&transtype=live" if mode == "live" else "")
    peer_query = "streamid=bench" if mode == "live" else "transtype=file&streamid=bench"
    return {
        "kby_nuvix": lambda port: [os.path.join(bin_dir, "kby_nuvix"), "--media-url", url,
                                   "--srt-url", "srt://127.0.0.1:%d?%s" % (port, ours_query)],
        "ffmpeg": lambda port: ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", url,
                                "-c", "copy", "-f", "mpegts", "srt://127.0.0.1:%d?%s" % (port, peer_query)],
    }


def run_case(case, mode, senders, bin_dir, work, runs):
    """Runs both senders `runs` times, alternating; returns name -> list of results."""
    results = {name: [] for name in senders}
    for i in range(runs):
        for name in (("kby_nuvix", "ffmpeg") if i % 2 == 0 else ("ffmpeg", "kby_nuvix")):
            r = one_run(name, senders[name], bin_dir, work, "%s_%d" % (case.replace("/", "_"), i), mode)
            log("%s run %d %-9s exit %d  cpu %.2f s  csw %d  rss %d KB  first byte %.0f ms  jitter p99 %.1f ms"
                "  lag p99 %.1f ms  (%d samples, %d bytes)"
                % (case, i + 1, name, r["exit"], r["cpu_s"], r["nvcsw"], r["rss_kb"], r["ttfb_ms"],
                   r["jitter_p99_ms"], r["lag_p99_ms"], r["samples"], r["bytes"]))
            results[name].append(r)
    return results


def report(case, source, results, runs, seconds):
    """Prints the table and the target checks of one case; returns False when a sender failed."""
    def med(name, key):
        return statistics.median(r[key] for r in results[name])

    ours, peer = "kby_nuvix", "ffmpeg"
    rows = [
        ("CPU time (s)", "cpu_s", "%.2f"),
        ("voluntary ctx switches", "nvcsw", "%.0f"),
        ("peak RSS (MB)", "rss_kb", "%.1f"),
        ("first TS byte (ms)", "ttfb_ms", "%.0f"),
        ("arrival jitter p99 (ms)", "jitter_p99_ms", "%.1f"),
        ("pacing lag p50 (ms)", "lag_p50_ms", "%.1f"),
        ("pacing lag p99 (ms)", "lag_p99_ms", "%.1f"),
        ("pacing lag max (ms)", "lag_max_ms", "%.1f"),
        ("p99 vs first packet (ms)", "lag_first_p99_ms", "%.1f"),
    ]
    print()
    print("[%s] median of %d run(s), %d s of 1920x1080 H.264 + AAC, loopback HTTP -> SRT; load average %.1f"
          % (case, runs, seconds, os.getloadavg()[0]))
    print("%-26s %12s %12s %8s" % ("metric", ours, peer, "ratio"))
    for label, key, fmt in rows:
        a, b = med(ours, key), med(peer, key)
        if key == "rss_kb":
            a, b = a / 1024.0, b / 1024.0
        ratio = ("%.2f" % (a / b)) if b else "-"
        print("%-26s %12s %12s %8s" % (label, fmt % a, fmt % b, ratio))

    cpu_ratio = med(ours, "cpu_s") / med(peer, "cpu_s")
    rss_ratio = med(ours, "rss_kb") / med(peer, "rss_kb")
    lag = med(ours, "lag_p99_ms")
    jitter = med(ours, "jitter_p99_ms")
    jitter_target = TARGETS["jitter_p99_ms"][source]
    ttfb_ours, ttfb_peer = med(ours, "ttfb_ms"), med(peer, "ttfb_ms")
    checks = [
        ("arrival jitter p99 at most %.0f ms" % jitter_target, jitter <= jitter_target, "%.1f ms" % jitter),
        ("CPU at most 1.0x the peer", cpu_ratio <= TARGETS["cpu"], "%.2fx" % cpu_ratio),
        ("first TS byte no later than the peer", ttfb_ours <= ttfb_peer,
         "%.0f ms vs %.0f ms" % (ttfb_ours, ttfb_peer)),
        ("peak RSS at most 0.5x the peer", rss_ratio <= TARGETS["rss"], "%.2fx" % rss_ratio),
        ("pacing lag p99 at most 30 ms", lag <= TARGETS["lag_p99_ms"], "%.1f ms" % lag),
    ]
    print()
    for label, ok, value in checks:
        print("[%s] %-40s %-8s %s" % (case, label, "met" if ok else "NOT MET", value))
    bad_exit = [r["exit"] for n in results for r in results[n] if r["exit"] != 0]
    if bad_exit:
        print("bench: [%s] some senders did not exit cleanly: %s" % (case, bad_exit))
        return False
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "2")))
    ap.add_argument("--seconds", type=int, default=int(os.environ.get("BENCH_SECONDS", "30")))
    ap.add_argument("--modes", default=os.environ.get("BENCH_MODES", "file,live"),
                    help="SRT transfer modes to compare, comma-separated: file, live")
    ap.add_argument("--sources", default=os.environ.get("BENCH_SOURCES", ",".join(SOURCES)),
                    help="comma-separated: " + ", ".join(SOURCES))
    args = ap.parse_args()
    modes = [m for m in args.modes.split(",") if m]
    if not modes or any(m not in ("file", "live") for m in modes):
        sys.exit("bench: --modes takes file and/or live")
    sources = [x for x in args.sources.split(",") if x]
    for source in sources:
        if source not in SOURCES:
            sys.exit("bench: unknown source %r (known: %s)" % (source, ", ".join(SOURCES)))

    build = os.path.abspath(args.build)
    bin_dir = os.path.join(build, "bin")
    work = os.path.join(build, "bench")
    os.makedirs(work, exist_ok=True)
    for tool in ("kby_nuvix", "ts_arrival_receiver"):
        if not os.access(os.path.join(bin_dir, tool), os.X_OK):
            sys.exit("bench: %s is missing; run 'make build' first" % os.path.join(bin_dir, tool))

    mp4 = generate_source(work, args.seconds)
    paths = {"mp4": mp4}
    if "hls" in sources:
        paths["hls"] = generate_hls(work, mp4)
    http = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "engine", "tests", "support", "http_server.py"), work,
         "--port", "0", "--max-seconds", "3600"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    all_ok = True
    try:
        http_port = read_port(http, "HTTP server")
        for mode in modes:
            for source in sources:
                case = "%s/%s" % (mode, source)
                url = "http://127.0.0.1:%d/%s" % (http_port, os.path.relpath(paths[source], work))
                log("[%s] source %s (%d s), %d run(s) per sender, alternating; load average %.1f"
                    % (case, url, args.seconds, args.runs, os.getloadavg()[0]))
                results = run_case(case, mode, senders_for(mode, url, bin_dir), bin_dir, work, args.runs)
                all_ok = report(case, source, results, args.runs, args.seconds) and all_ok
    finally:
        http.terminate()
        http.wait(timeout=10)
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
