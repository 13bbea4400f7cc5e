#!/usr/bin/env bash
# make windows: the engine for Windows x86-64, cross-built with mingw-w64.
#
#   scripts/windows-build.sh [out-dir]      (default: build-windows)
#
# 1. the libraries (scripts/windows-deps.sh, built once per version and configuration);
# 2. kby_nuvix.exe and kby_nuvix_stop.exe (and the Wine test helper) in <out>/engine;
# 3. the download folder <out>/package/nuvix-win64 and its zip <out>/kby_nuvix-win64.zip:
#      nuvix-win64/bin/win64/kby_nuvix.exe, kby_nuvix.cmd, kby_nuvix_stop.exe
#      nuvix-win64/ffmpeg-lib/win/lib/*.dll   (two levels above the program folder, where
#                                              the window looks for them)
# 4. the front-end's Windows parts without Qt for Windows: its resources through windres
#    and every source compiled with the mingw compiler (syntax only, Linux Qt headers).
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/build-windows}" && cd "${1:-$ROOT/build-windows}" && pwd)"
JOBS="${JOBS:-2}"
HOST=x86_64-w64-mingw32
log() { echo "windows-build: $*" >&2; }

"$ROOT/scripts/windows-deps.sh" "$OUT"
# shellcheck disable=SC1091
source "$OUT/deps/current.env"
export PKG_CONFIG_LIBDIR="$NUVIX_WIN_PKG_CONFIG_LIBDIR"
export PKG_CONFIG_PATH=

# ---- the engine -----------------------------------------------------------------------
log "building the engine in $OUT/engine"
cmake -S "$ROOT" -B "$OUT/engine" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNUVIX_BUILD_FRONTEND=OFF -DNUVIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$OUT/engine" -j "$JOBS" --target kby_nuvix nuvix_tools

# ---- the download folder --------------------------------------------------------------
PKG="$OUT/package/nuvix-win64"
BIN="$PKG/bin/win64"
LIB="$PKG/ffmpeg-lib/win/lib"
rm -rf "$OUT/package" "$OUT/kby_nuvix-win64.zip"
mkdir -p "$BIN" "$LIB"
cp "$OUT/engine/bin/kby_nuvix.exe" "$OUT/engine/bin/kby_nuvix_stop.exe" "$BIN/"
"$HOST-strip" "$BIN"/*.exe
# For people who run the engine from a console or a script: the library folder on PATH,
# as the window sets it.
printf '%s\r\n' '@echo off' \
  'rem Runs kby_nuvix.exe with the FFmpeg library folder first on PATH, as the desktop program does.' \
  'setlocal' 'set "PATH=%~dp0..\..\ffmpeg-lib\win\lib;%PATH%"' '"%~dp0kby_nuvix.exe" %*' 'exit /b %ERRORLEVEL%' \
  > "$BIN/kby_nuvix.cmd"

IFS=: read -r -a dll_dirs <<< "$NUVIX_WIN_DLL_DIRS"
# Every DLL the programs import, and what those import in turn, found among the built
# libraries; anything not there must be part of Windows itself.
declare -A seen=()
queue=("$BIN"/*.exe)
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r dll; do
    key=${dll,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    for dir in "${dll_dirs[@]}"; do
      if [ -f "$dir/$dll" ]; then
        cp "$dir/$dll" "$LIB/"
        "$HOST-strip" --strip-unneeded "$LIB/$dll"
        queue+=("$LIB/$dll")
        break
      fi
    done
  done < <("$HOST-objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
for dll in "${!seen[@]}"; do
  ls "$LIB" | grep -qix "$dll" && continue
  # What is not among the built libraries must come with Windows; a runtime or library
  # DLL here would make the engine fail to start with 0xC0000135.
  case "$dll" in
    lib*|av*|sw*|srt*|mbed*|zlib*) log "missing DLL for the download folder: $dll"; exit 1 ;;
  esac
done

cat > "$PKG/README.txt" <<'EOF'
kby_nuvix for Windows x86-64

bin\win64\kby_nuvix.exe        the engine (a console program)
bin\win64\kby_nuvix.cmd        runs the engine with the DLL folder on PATH
bin\win64\kby_nuvix_stop.exe   asks a running engine to stop: kby_nuvix_stop <engine pid>
ffmpeg-lib\win\lib\            FFmpeg and libsrt DLLs

The desktop program puts ffmpeg-lib\win\lib first on PATH for the engine. By hand, run
kby_nuvix.cmd, which does the same:

  bin\win64\kby_nuvix.cmd --media-url <url> --srt-url "srt://host:port?streamid=name"
EOF
(cd "$OUT/package" && zip -qr -X "$OUT/kby_nuvix-win64.zip" nuvix-win64)
log "download: $OUT/kby_nuvix-win64.zip ($(du -k "$OUT/kby_nuvix-win64.zip" | cut -f1) KiB)"

# ---- the front-end's Windows parts ----------------------------------------------------
"$ROOT/scripts/windows-frontend-check.sh" "$OUT"
