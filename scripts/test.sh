#!/usr/bin/env bash
# Checks the formatting, builds strevo and runs the whole test suite, prints the test/code line
# ratio and builds the API reference (scripts/docs.sh).
# Usage: scripts/test.sh [--asan|--tsan] [--werror] [extra ctest arguments, e.g. -R X264]
#   --asan    AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   --tsan    ThreadSanitizer build (build-tsan/)
#   --werror  compiler warnings are errors (also STREVO_WERROR=1)
# A formatting difference or an undocumented public name fails the run, but only after the
# tests ran.
set -euo pipefail
cd "$(dirname "$0")/.."

build_args=()
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --asan|--tsan|--werror) build_args+=("$arg") ;;
    *) ctest_args+=("$arg") ;;
  esac
done

format_ok=1
if ! command -v clang-format >/dev/null; then
  echo "test.sh: clang-format is not installed; skipping the format check" >&2
elif ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "test.sh: not a git checkout; skipping the format check" >&2
else
  echo "test.sh: checking the format of the tracked .cpp/.h files (clang-format --dry-run -Werror)" >&2
  if ! git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
    echo "test.sh: format check failed; run clang-format -i on the files above" >&2
    format_ok=0
  fi
fi

dir=$(scripts/build.sh "${build_args[@]}" | tail -n 1)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp}
export QT_QPA_PLATFORM=offscreen

status=0
(cd "$dir" && ctest --output-on-failure -j "$(nproc)" "${ctest_args[@]}") || status=$?
scripts/test-stats.sh
docs_ok=1
if ! scripts/docs.sh "$dir/docs"; then
  echo "test.sh: the API reference has warnings; document the names above" >&2
  docs_ok=0
fi
[ "$format_ok" = 1 ] || status=1
[ "$docs_ok" = 1 ] || status=1
exit "$status"
