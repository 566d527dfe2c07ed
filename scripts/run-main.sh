#!/usr/bin/env bash
# Builds strevo and runs the main job: the host program encodes 10 s of a generated moving
# test pattern (1280x720, 30 fps) with x264 and prints where it wrote the file.
# Usage: scripts/run-main.sh [output folder, default ./out]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}
dir=$(scripts/build.sh | tail -n 1)
mkdir -p "$out"
"$dir/tools/strevo-cli" --output "$out/strevo-test.h264" --duration 10 --size 1280x720 --rate 30
