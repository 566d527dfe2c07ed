#!/usr/bin/env bash
# strevo-cli against the ffmpeg command line on the same work: 600 raw 1920x1080 NV12 frames
# (generated once into a file) encoded with x264 at preset veryfast, 6000 kbit/s average bit
# rate, no B-frames, one reference frame, a key frame every 2 s, into mp4 without audio.
# Runs alternate between the two programs; prints each one's median wall time and the ratio.
#
# Usage: bench/cli_vs_ffmpeg.sh [runs per program, default 5]
# STREVO_CLI=path/to/strevo-cli picks the program (default: build/tools/strevo-cli, built when
# missing). TMPDIR picks where the 1.9 GB frame file goes.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cli=${STREVO_CLI:-build/tools/strevo-cli}
if [[ ! -x $cli ]]; then
  cli="$(scripts/build.sh | tail -n 1)/tools/strevo-cli"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/strevo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

frames="$work/frames.nv12"
echo "generating 600 frames of 1920x1080 NV12 into $frames ..."
ffmpeg -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30" -frames:v 600 -pix_fmt nv12 -f rawvideo "$frames"

cat > "$work/job.json" <<JOB
{
  "project": {"videoOutput": {"width": 1920, "height": 1080, "frameRate": 30}},
  "source": {"type": "stdin", "pixelFormat": "NV12"},
  "outputs": [{
    "videoCodec": {"codecName": "X264", "preset": "veryfast", "tune": "", "bitrate": 6000,
                   "keyframeInterval": 2, "profileIdc": 100},
    "audioCodec": {"enabled": false},
    "container": {"format": "mp4"},
    "local": {"folder": "$work", "fileNameTemplate": "strevo"}
  }]
}
JOB

run_strevo() {
  rm -f "$work/strevo.mp4"
  "$cli" "$work/job.json" --input-format nv12 --size 1920x1080 --rate 30 --quiet < "$frames"
}
run_ffmpeg() {
  ffmpeg -v error -y -f rawvideo -pix_fmt nv12 -video_size 1920x1080 -framerate 30 -i "$frames" \
    -an -c:v libx264 -preset veryfast -profile:v high -bf 0 -refs 1 -b:v 6000k -g 60 "$work/ffmpeg.mp4"
}
seconds() { # runs "$@", prints its wall time in seconds
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}
median() { # of the numbers given
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

strevo_times=()
ffmpeg_times=()
# Page in the frame file and warm both programs up once, untimed.
run_strevo
run_ffmpeg
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    strevo_times+=("$(seconds run_strevo)")
    ffmpeg_times+=("$(seconds run_ffmpeg)")
  else
    ffmpeg_times+=("$(seconds run_ffmpeg)")
    strevo_times+=("$(seconds run_strevo)")
  fi
  printf 'run %d: strevo-cli %.2f s, ffmpeg %.2f s\n' $((i + 1)) "${strevo_times[-1]}" "${ffmpeg_times[-1]}"
done

for f in strevo ffmpeg; do
  n=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$work/$f.mp4")
  if [[ $n != 600 ]]; then
    echo "error: $f.mp4 holds $n frames, not 600" >&2
    exit 1
  fi
done
s=$(median "${strevo_times[@]}")
f=$(median "${ffmpeg_times[@]}")
printf 'median of %d runs: strevo-cli %.2f s, ffmpeg %.2f s\n' "$runs" "$s" "$f"
awk -v s="$s" -v f="$f" 'BEGIN { printf "ratio strevo-cli / ffmpeg: %.3f (below 1: strevo-cli is faster)\n", s / f }'
