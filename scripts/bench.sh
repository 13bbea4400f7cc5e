#!/usr/bin/env bash
# Benchmarks kby_nuvix against the ffmpeg command-line tool on the same relay job and
# prints a comparison table (see bench/bench.py for what is measured and how).
#
#   scripts/bench.sh [BUILD_DIR]      (make bench)
#   BENCH_RUNS=3 BENCH_SECONDS=60 BENCH_SOURCES=mp4,hls scripts/bench.sh build
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
exec python3 "$ROOT/bench/bench.py" --build "$BUILD"
