#!/usr/bin/env bash
# The format check itself: it must refuse a misformatted file and pass a formatted one.
set -uo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$HERE/../../.clang-format" "$work/"
printf 'int  main( ){return 0 ;}\n' > "$work/bad.cpp"
printf 'int main() { return 0; }\n' > "$work/good.cpp"
# windows.h stays ahead of the headers that need it, whatever their names.
printf '#include <tlhelp32.h>\n#include <windows.h>\n#include <winsock2.h>\n' > "$work/order.cpp"
if "$HERE/check-format.sh" "$work/bad.cpp" >/dev/null; then echo "FAIL: a misformatted file passed"; exit 1; fi
"$HERE/check-format.sh" "$work/good.cpp" >/dev/null || { echo "FAIL: a formatted file was refused"; exit 1; }
if "$HERE/check-format.sh" "$work/order.cpp" >/dev/null; then echo "FAIL: tlhelp32.h ahead of windows.h passed"; exit 1; fi
first="$(cd "$work" && clang-format order.cpp | grep '^#include' | tr '\n' ' ')"
[ "$first" = "#include <winsock2.h> #include <windows.h> #include <tlhelp32.h> " ] ||
  { echo "FAIL: formatting put the headers in this order: $first"; exit 1; }
# Python: black's layout and flake8's faults each fail the check on their own.
printf 'import os\n\nprint(os.sep)\n' > "$work/good.py"
printf 'import os\n\nprint( os.sep )\n' > "$work/layout.py"
printf 'import os\nimport sys\n\nprint(os.sep)\n' > "$work/lint.py"
"$HERE/check-python.sh" "$work/good.py" >/dev/null || { echo "FAIL: a clean Python file was refused"; exit 1; }
if "$HERE/check-python.sh" "$work/layout.py" >/dev/null; then echo "FAIL: a misformatted Python file passed"; exit 1; fi
if "$HERE/check-python.sh" "$work/lint.py" >/dev/null; then echo "FAIL: an unused import passed"; exit 1; fi
echo "check_format_test: ok"
