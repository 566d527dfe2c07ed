#!/usr/bin/env bash
# Configures and builds strevo. Usage: scripts/build.sh [--asan|--tsan] [--debug] [--werror]
# The build folder is build/ (build-asan/, build-tsan/ for the sanitizer builds). The compiler's
# output (warnings included) goes to standard error; the last line on standard output is the
# build folder. --werror (or STREVO_WERROR=1 in the environment) turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
"$(pwd)/scripts/install-deps.sh"

sanitize=""
build_type=RelWithDebInfo
dir=build
werror=OFF
[ "${STREVO_WERROR:-0}" = 1 ] && werror=ON
for arg in "$@"; do
  case "$arg" in
    --asan) sanitize=address; dir=build-asan ;;
    --tsan) sanitize=thread; dir=build-tsan ;;
    --debug) build_type=Debug ;;
    --werror) werror=ON ;;
    *) echo "build.sh: unknown option '$arg'" >&2; exit 2 ;;
  esac
done

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# Every setting is passed each time: the cache would otherwise keep one from an earlier run.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DSTREVO_SANITIZE="$sanitize" \
  -DSTREVO_WERROR="$werror" "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
