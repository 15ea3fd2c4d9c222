#!/usr/bin/env bash
# The crash handler end to end under Wine: install the product into the prefix, then run the
# Windows driver, which crashes the installed demo (crash_handler_scenarios_win.cpp).
set -euo pipefail
source "$SUITE_SOURCE/tools/wine/wine-env.sh"
suite_wine_prepare
"$SUITE_SOURCE/tools/install/install.sh" >/dev/null
wineserver -p >/dev/null 2>&1 </dev/null || true
suite_wine_run_captured "$SUITE_BIN/product/crash_handler_scenarios.exe" --gtest_color=no "$@" </dev/null
