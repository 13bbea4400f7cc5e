#!/usr/bin/env bash
# Installs the Debian packages that building, testing, packaging (CPack's .deb reads its
# dependencies off the programs with dpkg-shlibdeps and file), the demo and the benchmarks need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libavformat-dev libavcodec-dev libavutil-dev
  libsrt-openssl-dev srt-tools
  qtbase5-dev qtbase5-dev-tools libqt5network5
  googletest libgtest-dev
  ffmpeg python3 python3-pil yt-dlp
  xvfb x11-apps imagemagick
  clang libclang-rt-14-dev
  valgrind procps
  dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root, or install them yourself)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
