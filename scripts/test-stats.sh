#!/usr/bin/env bash
# Prints how many non-blank lines the tests have against the rest of the C++ code: tests/
# (.cpp and .h, the fake runtimes under tests/fakes included) against every other .cpp/.h except
# bench/. Usage: scripts/test-stats.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files -- '*.cpp' '*.h')
else
  files=$(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||')
fi
count() { if [ -n "$1" ]; then printf '%s\n' "$1" | xargs cat | grep -cv '^\s*$'; else echo 0; fi; }
tests=$(count "$(printf '%s\n' "$files" | grep '^tests/' || true)")
code=$(count "$(printf '%s\n' "$files" | grep -Ev '^(tests|bench)/' || true)")
# The fake GPU runtimes under tests/fakes count as tests; their share is shown on its own.
fakes=$(count "$(printf '%s\n' "$files" | grep '^tests/fakes/' || true)")
awk -v t="$tests" -v c="$code" -v f="$fakes" \
  'BEGIN { printf "test lines: %d, code lines: %d, tests/code: %.0f%% (fakes %d lines, %.0f%%; without them %.0f%%)\n", t, c, c ? 100 * t / c : 0, f, c ? 100 * f / c : 0, c ? 100 * (t - f) / c : 0 }'
