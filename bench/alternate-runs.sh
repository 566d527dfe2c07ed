# Shared by the comparison scripts: sourced, not run. `alternate_runs LABEL RUNS` times the
# shell functions run_strevo and run_ffmpeg, warmed up once untimed and then RUNS times each in
# alternating order, printing each run; the medians end up in $strevo_median and $ffmpeg_median.

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
