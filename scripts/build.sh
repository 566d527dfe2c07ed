#!/usr/bin/env bash
# Configures and builds strevo. Usage: scripts/build.sh [--asan|--tsan] [--debug]
# The build folder is build/ (build-asan/, build-tsan/ for the sanitizer builds).
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/install-deps.sh"

sanitize=""
build_type=RelWithDebInfo
dir=build
for arg in "$@"; do
  case "$arg" in
    --asan) sanitize=address; dir=build-asan ;;
    --tsan) sanitize=thread; dir=build-tsan ;;
    --debug) build_type=Debug ;;
    *) echo "build.sh: unknown option '$arg'" >&2; exit 2 ;;
  esac
done

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DSTREVO_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo "$dir"
