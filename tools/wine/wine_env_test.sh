#!/usr/bin/env bash
# The front door's clean-up runs in an EXIT trap under `set -e`: a step there that fails turns a green
# run into exit 1. A green run leaves no prefixes of its own behind, so that is the case that matters.
set -uo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cleanup_exit() {  # the trap `run` sets, in a shell of its own
  SUITE_BUILD="$work" bash -c 'set -euo pipefail; source "$1/wine-env.sh"
    trap "suite_own_prefixes_down" EXIT; true' _ "$HERE"
}
cleanup_exit || { echo "FAIL: clean-up with no prefixes left over failed"; exit 1; }
mkdir -p "$work/wineprefixes/left-over"
cleanup_exit || { echo "FAIL: clean-up with a prefix left over failed"; exit 1; }
echo "wine_env_test: ok"
