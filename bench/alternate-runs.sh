# Shared by the comparison scripts: sourced, not run. `alternate_runs LABEL RUNS` times the
# shell functions run_strevo and run_ffmpeg, warmed up once untimed and then RUNS times each in
# alternating order, printing each run; the medians end up in $strevo_median and $ffmpeg_median.
# `expect_frames N FILE...` stops the script when a file does not hold N video packets.

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
alternate_runs() {
  local label=$1 runs=$2 i
  local strevo_times=() ffmpeg_times=()
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
    printf '%s run %d: strevo-cli %.2f s, ffmpeg %.2f s\n' "$label" $((i + 1)) "${strevo_times[-1]}" "${ffmpeg_times[-1]}"
  done
  strevo_median=$(median "${strevo_times[@]}")
  ffmpeg_median=$(median "${ffmpeg_times[@]}")
}
expect_frames() {
  local want=$1 f n
  shift
  for f in "$@"; do
    # The first stream's count (ffprobe lists an MPEG-TS stream once per program too).
    n=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$f" | awk 'NF { print; exit }')
    if [[ $n != "$want" ]]; then
      echo "error: $f holds $n frames, not $want" >&2
      exit 1
    fi
  done
}
