#!/usr/bin/env bash
# Lays out the product's installation in the Wine prefix the way its installer does: programs and
# DLLs in one folder, "config.ini" beside them, an empty "dump" folder, and "InstallDir" under the
# product's uninstall key in the 32-bit registry view. The skin library's "I18N" and "skin" too.
# Usage: tools/install/install.sh [windows-folder]   (default C:\Program Files (x86)\Vemko Antivirus)
# Environment: SUITE_BUILD (build root), BUG_URL / BUG_INFO_URL (servers written to config.ini),
# SUITE_LANGUAGE (the report window's "nLanguage", default 0 = English).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
export SUITE_BUILD="${SUITE_BUILD:-$ROOT/build}"
source "$ROOT/tools/wine/wine-env.sh"
suite_wine_prepare

WIN_FOLDER="${1:-C:\\Program Files (x86)\\Vemko Antivirus}"
BIN="$SUITE_BUILD/win"
# C:\a\b -> $WINEPREFIX/drive_c/a/b
rel="${WIN_FOLDER#?:\\}"
DEST="$WINEPREFIX/drive_c/${rel//\\//}"

mkdir -p "$DEST/dump"
copied=()
for f in reporter/Kelvor.exe uploader/Ulvane.exe kerneldump/Drummet.exe product/Orv.exe product/OrvCore.dll \
         product/OrvSvc.exe product/communication/Communication.dll; do
  if [ -f "$BIN/$f" ]; then
    cp -f "$BIN/$f" "$DEST/"
    copied+=("$(basename "$f")")
  fi
done
# The build leaves every module stripped, its DWARF in <name>.debug beside it (for ./run symbols, never
# installed). A module from an older tree that still has its DWARF is stripped on the way in.
for f in "$DEST"/*.exe "$DEST"/*.dll; do
  if i686-w64-mingw32-objdump -h "$f" 2>/dev/null | grep -q ' \.debug_info '; then
    i686-w64-mingw32-objcopy --strip-debug "$f"
  fi
done
# The report window's skin library and its resources ("I18N" per language, "skin").
if [ -f "$BIN/product/skin/Skindle.dll" ]; then
  cp -f "$BIN/product/skin/Skindle.dll" "$DEST/"
  cp -rf "$ROOT/product/skin/resources/." "$DEST/"
  copied+=(Skindle.dll I18N skin)
fi
for required in Kelvor.exe Orv.exe OrvCore.dll Skindle.dll; do
  [ -f "$DEST/$required" ] || { echo "install: $required is not built (build the win tree first)" >&2; exit 1; }
done

# Base URLs without a trailing "/": Drummet appends "/cgi-bin/bug_report.cgi" as it stands (a trailing
# slash made it post to "//cgi-bin/..."), and Ulvane adds the slash it needs itself.
base_url() { printf '%s' "$1" | sed 's:/*$::'; }
printf '[network]\r\nBugURL=%s\r\nBugInfoUploadURL=%s\r\n[vkconfig]\r\nnLanguage=%s\r\n' \
  "$(base_url "${BUG_URL:-http://127.0.0.1:8765}")" "$(base_url "${BUG_INFO_URL:-http://127.0.0.1:8765}")" \
  "${SUITE_LANGUAGE:-0}" > "$DEST/config.ini"

wine reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Vemko Antivirus' /v InstallDir \
  /t REG_SZ /d "$WIN_FOLDER" /reg:32 /f >/dev/null 2>&1
echo "installed ${copied[*]} into $WIN_FOLDER ($DEST)"
