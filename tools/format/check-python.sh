#!/usr/bin/env bash
# Fails when a Python file is not laid out as black lays it out (pyproject.toml) or flake8 finds a fault
# in it (.flake8), and names each such file and fault.
# Usage: check-python.sh [FILE...]   (no files: every tracked Python file outside third_party/)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
for tool in black flake8; do
  command -v "$tool" >/dev/null || { echo "check-python: $tool is missing (./run deps installs it)" >&2; exit 2; }
done
if [ $# -eq 0 ]; then
  cd "$ROOT" || exit 2
  mapfile -t files < <(git ls-files '*.py' | grep -v '^third_party/')
else
  files=("$@")
fi
rc=0
# The project's settings wherever the files are (a self-test checks files outside the tree).
out="$(black --check --config "$ROOT/pyproject.toml" "${files[@]}" 2>&1)" || rc=1
grep '^would reformat\|^error' <<<"$out" | sed 's/^would reformat /not formatted (black FILE): /'
flake8 --config "$ROOT/.flake8" "${files[@]}" || rc=1
[ $rc -eq 0 ] && echo "check-python: ${#files[@]} files formatted and clean"
exit $rc
