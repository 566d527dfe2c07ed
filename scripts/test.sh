#!/usr/bin/env bash
# Builds strevo and runs the whole test suite.
# Usage: scripts/test.sh [--asan|--tsan] [extra ctest arguments, e.g. -R X264]
#   --asan  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   --tsan  ThreadSanitizer build (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."

build_args=()
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --asan|--tsan) build_args+=("$arg") ;;
    *) ctest_args+=("$arg") ;;
  esac
done

dir=$(scripts/build.sh "${build_args[@]}" | tail -n 1)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp}
export QT_QPA_PLATFORM=offscreen

cd "$dir"
ctest --output-on-failure -j "$(nproc)" "${ctest_args[@]}"
