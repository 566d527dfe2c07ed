#!/usr/bin/env bash
# Builds strevo and runs the main job: the host program records 10 s of the generated test
# source (a moving pattern with a running clock and frame counter, a tone that beeps every
# second) in real time to an mp4 (x264 + AAC, 1280x720) and an mkv (OpenH264 + MP3, 640x360)
# at once, then prints where the files are.
# Usage: scripts/run-main.sh [output folder, default ./out] [more strevo-cli options, e.g. --fast]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}
shift || true
dir=$(scripts/build.sh | tail -n 1)
"$dir/tools/strevo-cli" examples/record-mp4-mkv.json --output-dir "$out" "$@"
echo "The recordings are in $(cd "$out" && pwd)/"
