#!/usr/bin/env bash
# strevo-cli against the ffmpeg command line on the same work: 600 raw NV12 frames (generated
# once into a file per size) encoded into mp4/webm without audio, with the same encoder and
# settings on both sides. Runs alternate between the two programs; prints each one's median
# wall time and the ratio.
#
# Cases:
#   x264      1920x1080, x264 veryfast, 6000 kbit/s ABR, no B-frames, one reference, key frame every 2 s (mp4)
#   openh264  1280x720, OpenH264 real-time camera mode, 3000 kbit/s bit-rate mode, CABAC, key frame every 2 s (mp4)
#   vp8       1280x720, libvpx VP8 real-time deadline, 3000 kbit/s VBR, no lag, key frame every 2 s, one thread per core (webm)
#
# Usage: bench/cli_vs_ffmpeg.sh [runs per program, default 5] [case ... | all, default x264]
# STREVO_CLI=path/to/strevo-cli picks the program (default: build/tools/strevo-cli, built when
# missing). TMPDIR picks where the frame files go (1.9 GB at 1080p, 0.8 GB at 720p).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
shift || true
cases=("$@")
[[ ${#cases[@]} -eq 0 ]] && cases=(x264)
[[ ${cases[0]} == all ]] && cases=(x264 openh264 vp8)
cli=${STREVO_CLI:-build/tools/strevo-cli}
if [[ ! -x $cli ]]; then
  cli="$(scripts/build.sh | tail -n 1)/tools/strevo-cli"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/strevo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
threads=$(nproc)
encoders=$(ffmpeg -hide_banner -encoders 2>/dev/null)

source bench/alternate-runs.sh

for name in "${cases[@]}"; do
  case $name in
    x264)
      size=1920x1080 ext=mp4
      video='"codecName": "X264", "preset": "veryfast", "tune": "", "bitrate": 6000, "keyframeInterval": 2, "profileIdc": 100'
      ffargs=(-c:v libx264 -preset veryfast -profile:v high -bf 0 -refs 1 -b:v 6000k -g 60) ;;
    openh264)
      size=1280x720 ext=mp4
      video='"codecName": "H264", "bitrate": 3000, "keyframeInterval": 2, "codecProfile": 0'
      ffargs=(-c:v libopenh264 -profile:v main -coder cabac -rc_mode bitrate -b:v 3000k -maxrate 3000k
              -g 60 -allow_skip 0 -threads 0) ;;
    vp8)
      size=1280x720 ext=webm
      video='"codecName": "VP8", "bitrate": 3000, "keyframeInterval": 2'
      ffargs=(-c:v libvpx -deadline realtime -b:v 3000k -g 60 -keyint_min 0 -lag-in-frames 0
              -threads "$threads") ;;
    *) echo "cli_vs_ffmpeg.sh: unknown case '$name'" >&2; exit 2 ;;
  esac
  if [[ $encoders != *" ${ffargs[1]} "* ]]; then
    echo "$name: skipped: this ffmpeg has no ${ffargs[1]} encoder (Debian's build has no libopenh264);"
    echo "  (build/bench/pipeline_bench 600 3 ${size%x*} ${size#*x} H264 compares the library with OpenH264 called directly)"
    continue
  fi
  w=${size%x*} h=${size#*x}
  frames="$work/frames-$size.nv12"
  if [[ ! -f $frames ]]; then
    echo "generating 600 frames of $size NV12 into $frames ..."
    ffmpeg -v error -f lavfi -i "testsrc2=size=$size:rate=30" -frames:v 600 -pix_fmt nv12 -f rawvideo "$frames"
  fi
  cat > "$work/job.json" <<JOB
{
  "project": {"videoOutput": {"width": $w, "height": $h, "frameRate": 30}},
  "source": {"type": "stdin", "pixelFormat": "NV12"},
  "outputs": [{
    "videoCodec": {$video},
    "audioCodec": {"enabled": false},
    "container": {"format": "$ext"},
    "local": {"folder": "$work", "fileNameTemplate": "strevo"}
  }]
}
JOB
  run_strevo() {
    rm -f "$work/strevo.$ext"
    "$cli" "$work/job.json" --input-format nv12 --size "$size" --rate 30 --quiet < "$frames"
  }
  run_ffmpeg() {
    ffmpeg -v error -y -f rawvideo -pix_fmt nv12 -video_size "$size" -framerate 30 -i "$frames" \
      -an "${ffargs[@]}" "$work/ffmpeg.$ext"
  }

  alternate_runs "$name" "$runs"

  expect_frames 600 "$work/strevo.$ext" "$work/ffmpeg.$ext"
  s=$strevo_median
  f=$ffmpeg_median
  printf '%s %s: median of %d runs: strevo-cli %.2f s, ffmpeg %.2f s\n' "$name" "$size" "$runs" "$s" "$f"
  awk -v n="$name" -v s="$s" -v f="$f" 'BEGIN { printf "%s ratio strevo-cli / ffmpeg: %.3f (below 1: strevo-cli is faster)\n", n, s / f }'
  rm -f "$frames"
done
