#!/usr/bin/env bash
# The whole crash path: install into the Wine prefix, crash the demo product, show what Kelvor left
# behind and what the crash server made of it, then a kernel dump, the upload byte by byte through the
# collector, and the report window in three languages. Started by ./run demo (SUITE_BUILD and
# WINEPREFIX exported, the Windows tree built, a wineserver up).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
export SUITE_BUILD="${SUITE_BUILD:-$ROOT/build}"
source "$ROOT/tools/wine/wine-env.sh"
suite_wine_prepare

say() { printf '\n== %s\n' "$*"; }

# The crash server the product team runs receives the demo crash (config.ini points at it).
eval "$(python3 "$ROOT/tools/demo/server_demo.py" start)"   # exports BUG_URL/BUG_INFO_URL for install.sh
trap 'python3 "$ROOT/tools/demo/server_demo.py" stop' EXIT

say "install"
"$ROOT/tools/install/install.sh"

say "the demo build's symbols: each module's debug file, keyed by its build id, uploaded to the crash server"
/usr/bin/python3 "$ROOT/tools/symbols/symbols.py" --upload "$CRASH_SERVER_URL" ||
  echo "(the symbols did not reach the crash server)"
INSTALL_WIN='C:\Program Files (x86)\Vemko Antivirus'
INSTALL="$WINEPREFIX/drive_c/Program Files (x86)/Vemko Antivirus"
rm -f "$INSTALL/dump/"*
wine reg delete 'HKCU\software\Vemko Security\Antivirus\Bug\1.0.0.1' /f >/dev/null 2>&1 || true

say "crash: Orv.exe writes through a null pointer inside OrvCore.dll (full dump wanted, mode 1)"
NOTE="$WINEPREFIX/drive_c/demo_release_note.txt"
rm -f "$NOTE"
start=$(date +%s%N)
rc=0
wine "$INSTALL/Orv.exe" --observe 'C:\demo_release_note.txt' --full-dump 1 --app-name Demo.exe --wait-kelvor \
  crash dll || rc=$?
echo "Orv.exe ended with code $rc after $(( ($(date +%s%N) - start) / 1000000 )) ms"

say "what the crash handler saw when Kelvor released it"
tr -d '\r' < "$NOTE" | sed 's/|/\n      /g'

say "files in $INSTALL_WIN\\dump"
ls -l "$INSTALL/dump"

say "registry marks (HKCU\\software\\Vemko Security\\Antivirus\\Bug\\1.0.0.1)"
wine reg query 'HKCU\software\Vemko Security\Antivirus\Bug\1.0.0.1' 2>/dev/null | tr -d '\r' | sed '/^$/d'

say "the text report (UTF-16LE), first lines"
report=$(ls "$INSTALL/dump/"*.txt | head -1)
iconv -f UTF-16LE -t UTF-8 "$report" | tr -d '\r' | sed 's/^\xef\xbb\xbf//' | head -25

say "the minidump, opened with lldb"
dump=$(ls "$INSTALL/dump/"*.dmp | grep -v _FULL | head -1)
lldb --batch -c "$dump" -o 'thread list' -o 'bt' 2>/dev/null | sed -n '2,20p'

say "the crash server: the crash group and pictures of its pages"
python3 "$ROOT/tools/demo/server_demo.py" show || echo "(the crash server did not show the crash)"

say "a kernel crash dump: Drummet packs it with info.ini and posts it to the local collector"
python3 "$ROOT/tools/demo/kernel_dump_demo.py" || echo "(the kernel-dump delivery did not complete)"

say "a crash delivered: Orv.exe -> Kelvor -> Ulvane -> Communication.dll -> the local collector"
python3 "$ROOT/tools/demo/upload_demo.py" || echo "(the crash upload did not complete)"

say "the report window: the demo crashes with the window asked for, on an Xvfb display (Wine's X11 driver)"
echo "English, Thai and Chinese; xdotool ticks the contact box, types an address and a description, presses Enter"
SUITE_SOURCE="$ROOT" SUITE_BIN="$SUITE_BUILD/win" python3 "$ROOT/reporter/dialog/tests/window_pixels.py" |
  grep -E "uploader's command line|report's|window_pixels:" || echo "(the report window could not be shown)"
echo "pictures: $(ls "$SUITE_BUILD/screenshots/"report_window_*.png 2>/dev/null | tr '\n' ' ')"
exit 0
