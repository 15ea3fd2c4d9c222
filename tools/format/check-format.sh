#!/usr/bin/env bash
# Fails when a C or C++ file is not formatted as .clang-format says, and names each such file.
# Usage: check-format.sh [FILE...]   (no files: every tracked C/C++ file outside third_party/)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
command -v clang-format >/dev/null || { echo "check-format: clang-format is missing (./run deps installs it)" >&2; exit 2; }
if [ $# -eq 0 ]; then
  cd "$ROOT" || exit 2
  mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' | grep -v '^third_party/')
else
  files=("$@")
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -ne 0 ]; then
  printf 'not formatted (clang-format -i FILE): %s\n' "${bad[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
