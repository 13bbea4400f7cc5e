#!/usr/bin/env bash
# Cross-builds the engine's libraries for Windows x86-64 from Debian's own source packages:
# mbedtls (static, for libsrt's encryption), libsrt and a small FFmpeg (shared).
# Each lands in <out>/deps/<name>-<version>-<config hash>/ and is reused for as long as its
# version and configuration stay the same. <out>/deps/current.env names the pkg-config
# and DLL folders of the current set for the engine's build.
#
#   scripts/windows-deps.sh [out-dir]       (default: build-windows)
#
# Versions are pinned; override with FFMPEG_VERSION, SRT_VERSION, MBEDTLS_VERSION when the
# archive has moved on. Sources come through a private apt configuration under
# <out>/apt; the machine's own source lists stay untouched.
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/build-windows}" && cd "${1:-$ROOT/build-windows}" && pwd)"
JOBS="${JOBS:-2}"
HOST=x86_64-w64-mingw32

FFMPEG_VERSION="${FFMPEG_VERSION:-7:5.1.9-0+deb12u1}"
SRT_VERSION="${SRT_VERSION:-1.5.1-1+deb12u1}"
MBEDTLS_VERSION="${MBEDTLS_VERSION:-2.28.3-1}"

log() { echo "windows-deps: $*" >&2; }

# ---- packages -------------------------------------------------------------------------
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 cmake make pkg-config dpkg-dev python3 ffmpeg zip
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    log "missing packages: ${missing[*]} (run as root, or install them yourself)"
    exit 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---- private apt configuration for Debian's source packages ---------------------------
APT_DIR="$OUT/apt"
apt_opts=(
  -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$APT_DIR/sources.list.d"
  -o "Dir::State::Lists=$APT_DIR/lists" -o "Dir::Cache=$APT_DIR/cache"
  -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1"
)

# deb-src twins of the machine's own archives (one-line and deb822 forms).
write_source_lists() {
  mkdir -p "$APT_DIR/sources.list.d" "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
  local f n=0
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$APT_DIR/sources.list.d/src$((n++)).sources"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E '^[[:space:]]*deb[[:space:]]' "$f" | sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' \
      > "$APT_DIR/sources.list.d/src$((n++)).list" || true
  done
}

fetch_source() {  # name version -> prints the unpacked folder
  local name=$1 version=$2
  local upstream=${version#*:}
  upstream=${upstream%-*}
  local dir="$OUT/src/$name-$upstream"
  if [ ! -f "$dir/.unpacked-$version" ]; then
    # One index update per run of this script, shared by the three packages.
    if [ ! -f "$APT_DIR/updated-$$" ]; then
      rm -f "$APT_DIR"/updated-*
      write_source_lists
      log "apt-get update (source lists, private)"
      apt-get -qq "${apt_opts[@]}" update >/dev/null
      touch "$APT_DIR/updated-$$"
    fi
    rm -rf "$OUT/src/dl-$name" "$dir"
    mkdir -p "$OUT/src/dl-$name"
    log "downloading source $name=$version"
    (cd "$OUT/src/dl-$name" && apt-get -qq "${apt_opts[@]}" source --download-only "$name=$version" >/dev/null)
    (cd "$OUT/src/dl-$name" && dpkg-source --no-check -x ./*.dsc "$dir" >/dev/null)
    touch "$dir/.unpacked-$version"
  fi
  echo "$dir"
}

# Runs a build step with its output in a log file, shown only when the step fails.
quiet() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 || { tail -40 "$log" >&2; log "failed: $* (log: $log)"; exit 1; }
}

config_hash() { printf '%s\n' "$@" | sha256sum | cut -c1-12; }

# Builds Debian's source package <name> <version> with CMake and installs it into <prefix>,
# unless an earlier run finished there. <label> names it in the log; the rest are CMake's
# arguments.
build_cmake_source() {
  local name=$1 version=$2 prefix=$3 label=$4
  shift 4
  if [ -f "$prefix/.done" ]; then
    return 0
  fi
  local src
  src=$(fetch_source "$name" "$version")
  log "building $label into $prefix"
  rm -rf "$prefix" "$OUT/work/$name" "$OUT/work/$name.log"
  mkdir -p "$OUT/work"
  quiet "$OUT/work/$name.log" cmake -S "$src" -B "$OUT/work/$name" "$@" -DCMAKE_INSTALL_PREFIX="$prefix"
  quiet "$OUT/work/$name.log" cmake --build "$OUT/work/$name" -j "$JOBS"
  quiet "$OUT/work/$name.log" cmake --install "$OUT/work/$name"
  touch "$prefix/.done"
}

# ---- toolchain ------------------------------------------------------------------------
TOOLCHAIN="$ROOT/cmake/mingw-w64-x86_64.cmake"
# libsrt and the engine use C++11 threads: the posix flavour of mingw-w64 has them.
CC="$HOST-gcc-posix"
CXX="$HOST-g++-posix"
# The C and C++ runtimes go into each DLL, so the library folder holds only the libraries.
STATIC_RUNTIME="-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic"

# ---- mbedtls (static; linked into libsrt.dll) -----------------------------------------
mbedtls_args=(
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
  -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF
  -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DMBEDTLS_FATAL_WARNINGS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
)
MBEDTLS_PREFIX="$OUT/deps/mbedtls-${MBEDTLS_VERSION//[:~]/_}-$(config_hash "${mbedtls_args[@]}" "$(cat "$TOOLCHAIN")")"
build_cmake_source mbedtls "$MBEDTLS_VERSION" "$MBEDTLS_PREFIX" mbedtls "${mbedtls_args[@]}"

# ---- libsrt (shared, encryption through mbedtls) --------------------------------------
srt_args=(
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
  -DENABLE_SHARED=ON -DENABLE_STATIC=OFF -DENABLE_APPS=OFF -DENABLE_EXAMPLES=OFF -DENABLE_UNITTESTS=OFF
  -DENABLE_ENCRYPTION=ON -DUSE_ENCLIB=mbedtls -DENABLE_STDCXX_SYNC=ON -DENABLE_CXX11=ON
  -DSSL_LIBRARY_DIRS="$MBEDTLS_PREFIX/lib" -DSSL_INCLUDE_DIRS="$MBEDTLS_PREFIX/include"
  "-DSSL_LIBRARIES=$MBEDTLS_PREFIX/lib/libmbedtls.a;$MBEDTLS_PREFIX/lib/libmbedx509.a;$MBEDTLS_PREFIX/lib/libmbedcrypto.a;bcrypt;advapi32"
  "-DCMAKE_SHARED_LINKER_FLAGS=$STATIC_RUNTIME"
)
SRT_PREFIX="$OUT/deps/srt-${SRT_VERSION//[:~]/_}-$(config_hash "${srt_args[@]}" "$(cat "$TOOLCHAIN")")"
build_cmake_source srt "$SRT_VERSION" "$SRT_PREFIX" libsrt "${srt_args[@]}"

# ---- FFmpeg (shared; only what the engine uses) ---------------------------------------
ffmpeg_args=(
  --target-os=mingw32 --arch=x86_64 --enable-cross-compile --cross-prefix="$HOST-"
  --cc="$CC" --cxx="$CXX"
  --enable-shared --disable-static --disable-programs --disable-doc --disable-debug
  --disable-autodetect --disable-x86asm --enable-w32threads
  --disable-avdevice --disable-avfilter --disable-swscale --disable-postproc
  --disable-everything --enable-network --enable-schannel
  --enable-protocol=file,http,https,tcp,tls,hls,crypto
  --enable-demuxer=mov,mpegts,hls,matroska,aac,mp3,flv
  --enable-muxer=mpegts
  --enable-parser=h264,hevc,aac,aac_latm,mpegaudio,opus
  --enable-bsf=h264_mp4toannexb,hevc_mp4toannexb,aac_adtstoasc,opus_metadata
  # Probing needs the decoders to learn picture size and sample rate of HLS streams.
  --enable-decoder=h264,hevc,aac,aac_latm,mp3,mp3float,opus
  "--extra-ldflags=$STATIC_RUNTIME"
)
FFMPEG_PREFIX="$OUT/deps/ffmpeg-${FFMPEG_VERSION//[:~]/_}-$(config_hash "${ffmpeg_args[@]}")"
if [ ! -f "$FFMPEG_PREFIX/.done" ]; then
  src=$(fetch_source ffmpeg "$FFMPEG_VERSION")
  log "building FFmpeg into $FFMPEG_PREFIX"
  rm -rf "$FFMPEG_PREFIX" "$OUT/work/ffmpeg" "$OUT/work/ffmpeg.log"
  mkdir -p "$OUT/work/ffmpeg"
  (cd "$OUT/work/ffmpeg" && "$src/configure" --prefix="$FFMPEG_PREFIX" "${ffmpeg_args[@]}" >configure.log 2>&1) \
    || { tail -20 "$OUT/work/ffmpeg/configure.log"; tail -30 "$OUT/work/ffmpeg/ffbuild/config.log" 2>/dev/null; exit 1; }
  quiet "$OUT/work/ffmpeg.log" make -C "$OUT/work/ffmpeg" -j "$JOBS"
  quiet "$OUT/work/ffmpeg.log" make -C "$OUT/work/ffmpeg" install
  touch "$FFMPEG_PREFIX/.done"
fi

# The engine's build reads these.
cat > "$OUT/deps/current.env" <<EOF
NUVIX_WIN_PKG_CONFIG_LIBDIR=$FFMPEG_PREFIX/lib/pkgconfig:$SRT_PREFIX/lib/pkgconfig
NUVIX_WIN_DLL_DIRS=$FFMPEG_PREFIX/bin:$SRT_PREFIX/bin
EOF
log "ready: FFmpeg $FFMPEG_VERSION, libsrt $SRT_VERSION, mbedtls $MBEDTLS_VERSION"
