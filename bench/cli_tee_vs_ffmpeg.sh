#!/usr/bin/env bash
# strevo-cli against the ffmpeg command line recording the same frames into three containers at
# once: 600 raw 1920x1080 NV12 frames, x264 veryfast 6000 kbit/s (no B-frames, one reference,
# key frame every 2 s), no audio, into mp4, mkv and ts with identical video. strevo-cli encodes
# the video once and shares it among the three outputs; ffmpeg encodes once and writes through
# its tee muxer (with a global header, which matroska needs). Runs alternate between the two
# programs; prints each one's median wall time and the ratio (goal: at most 1.0, as for one
# output in bench/cli_vs_ffmpeg.sh).
#
# Usage: bench/cli_tee_vs_ffmpeg.sh [runs per program, default 5]
# STREVO_CLI=path/to/strevo-cli picks the program (default: build/tools/strevo-cli, built when
# missing). TMPDIR picks where the frame file goes (1.9 GB).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cli=${STREVO_CLI:-build/tools/strevo-cli}
if [[ ! -x $cli ]]; then
  cli="$(scripts/build.sh | tail -n 1)/tools/strevo-cli"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/strevo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
size=1920x1080 w=1920 h=1080

source bench/alternate-runs.sh

frames="$work/frames.nv12"
echo "generating 600 frames of $size NV12 into $frames ..."
ffmpeg -v error -f lavfi -i "testsrc2=size=$size:rate=30" -frames:v 600 -pix_fmt nv12 -f rawvideo "$frames"

video='"codecName": "X264", "preset": "veryfast", "tune": "", "bitrate": 6000, "keyframeInterval": 2, "profileIdc": 100'
outputs=""
for ext in mp4 mkv ts; do
  [[ -n $outputs ]] && outputs+=","
  outputs+="
    {\"videoCodec\": {$video}, \"audioCodec\": {\"enabled\": false}, \"container\": {\"format\": \"$ext\"},
     \"local\": {\"folder\": \"$work\", \"fileNameTemplate\": \"strevo\"}}"
done
cat > "$work/job.json" <<JOB
{
  "project": {"videoOutput": {"width": $w, "height": $h, "frameRate": 30}},
  "source": {"type": "stdin", "pixelFormat": "NV12"},
  "outputs": [$outputs]
}
JOB

run_strevo() {
  rm -f "$work"/strevo.*
  "$cli" "$work/job.json" --input-format nv12 --size "$size" --rate 30 --quiet < "$frames"
}
run_ffmpeg() {
  rm -f "$work"/ffmpeg.*
  ffmpeg -v error -y -f rawvideo -pix_fmt nv12 -video_size "$size" -framerate 30 -i "$frames" \
    -an -c:v libx264 -preset veryfast -profile:v high -bf 0 -refs 1 -b:v 6000k -g 60 \
    -flags +global_header -map 0:v -f tee \
    "[f=mp4]$work/ffmpeg.mp4|[f=matroska]$work/ffmpeg.mkv|[f=mpegts]$work/ffmpeg.ts"
}

alternate_runs tee "$runs"

expect_frames 600 "$work"/strevo.{mp4,mkv,ts} "$work"/ffmpeg.{mp4,mkv,ts}
s=$strevo_median
f=$ffmpeg_median
printf 'three outputs (mp4, mkv, ts) %s: median of %d runs: strevo-cli %.2f s, ffmpeg -f tee %.2f s\n' "$size" "$runs" "$s" "$f"
awk -v s="$s" -v f="$f" 'BEGIN { printf "ratio strevo-cli / ffmpeg: %.3f (goal: at most 1.0)\n", s / f }'
