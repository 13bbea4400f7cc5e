#!/usr/bin/env bash
# The desktop program's Windows parts, checked without Qt for Windows:
#  - its resources (icon group, manifest) compiled with windres and linked into a small
#    GUI-subsystem program, whose subsystem and resources are then read back;
#  - every source file compiled with the mingw compiler, syntax only, against this
#    machine's Qt headers, so the Q_OS_WIN branches are compiled with warnings on.
#
#   scripts/windows-frontend-check.sh [out-dir]      (default: build-windows)
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/build-windows}" && cd "${1:-$ROOT/build-windows}" && pwd)/frontend-check"
HOST=x86_64-w64-mingw32
mkdir -p "$OUT"
log() { echo "windows-frontend-check: $*" >&2; }

# Checked once per state of the front-end's sources, resources and this script.
stamp="$OUT/checked-$(cat "$0" "$ROOT"/frontend/src/* "$ROOT"/frontend/resources/nuvix.* "$ROOT"/engine/platform/*.h \
  | sha256sum | cut -c1-16)"
if [ -f "$stamp" ]; then
  log "front-end Windows parts unchanged since the last check"
  exit 0
fi

res="$ROOT/frontend/resources"
"$HOST-windres" -I "$res" "$res/nuvix.rc" -O coff -o "$OUT/nuvix_res.o"
cat > "$OUT/gui_probe.c" <<'EOF'
#include <windows.h>
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)previous; (void)command_line; (void)show;
    return LoadIconA(instance, "IDI_APP_ICON") ? 0 : 1;
}
EOF
"$HOST-gcc-posix" -mwindows "$OUT/gui_probe.c" "$OUT/nuvix_res.o" -o "$OUT/gui_probe.exe"
dump=$("$HOST-objdump" -p "$OUT/gui_probe.exe")
grep -q 'Subsystem.*Windows GUI' <<< "$dump" || { log "not a GUI-subsystem program"; exit 1; }
# Read the resources back out of the program: four icons in one group, the manifest
# with the invoker's level and the version 6 common controls.
rc=$("$HOST-windres" -i "$OUT/gui_probe.exe" -O rc)
[ "$(grep -c '/\* RT_ICON \*/' <<< "$rc")" -eq 4 ] || { log "the icon group has not 4 icons"; exit 1; }
grep -q 'Type: group icon' <<< "$rc" || { log "no icon group"; exit 1; }
grep -q 'level=""asInvoker""' <<< "$rc" || { log "manifest without asInvoker"; exit 1; }
grep -q 'Microsoft.Windows.Common-Controls"" version=""6' <<< "$rc" || { log "manifest without common controls 6"; exit 1; }
# The icon group's sizes, read from the icon file's directory entries.
sizes=$(python3 - "$res/nuvix.ico" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
count = struct.unpack_from("<H", data, 4)[0]
print(" ".join(str(data[6 + 16 * i] or 256) for i in range(count)))
EOF
)
[ "$(tr ' ' '\n' <<< "$sizes" | sort -n | tr '\n' ' ')" = "16 32 48 128 " ] || { log "icon sizes: $sizes"; exit 1; }
log "resources: GUI subsystem, icon group ($sizes), manifest"

qt=/usr/include/x86_64-linux-gnu/qt5
[ -d "$qt" ] || { log "no Qt headers ($qt): install qtbase5-dev"; exit 1; }
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror
  -DQT_NO_KEYWORDS_DEPRECATED -DNUVIX_UPDATE_HOST_DEFAULT='"nuvix-updates.invalid"'
  -I "$ROOT/frontend/src" -I "$ROOT/engine/platform"
  -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets" -isystem "$qt/QtNetwork")
n=0
for src in "$ROOT"/frontend/src/*.cpp; do
  # Linux Qt headers declare exports without dllimport; only that mismatch is ignored.
  "$HOST-g++-posix" "${flags[@]}" -Wno-attributes "$src"
  n=$((n + 1))
done
log "front-end sources compiled for Windows (syntax only): $n files"
rm -f "$OUT"/checked-*
touch "$stamp"
