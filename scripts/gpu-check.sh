#!/usr/bin/env bash
# Checks the library's hardware encoders on this machine, one line per check:
#   ok / FAIL / skip  <check>: <detail>
# Builds, lists the catalogue with the device behind each hardware codec, probes every render
# node with each VA-API encoder at both entry points, loads the CUDA module through the real
# driver and opens an NVENC session (strevo-gpu-check), then records 2 s with every hardware
# codec the catalogue lists and checks each file with ffprobe. Ends cleanly on a machine without
# a GPU ("no GPU") and on one whose GPU has no encoder. Exit status: 0 when nothing failed.
# Usage: scripts/gpu-check.sh   (run as a user who may open /dev/dri and the NVIDIA devices)
set -uo pipefail
cd "$(dirname "$0")/.."

failures=0
line() { printf '%-5s %s\n' "$1" "$2"; [ "$1" = FAIL ] && failures=$((failures + 1)); return 0; }

log=$(mktemp)
if ! dir=$(scripts/build.sh 2>"$log" | tail -n 1) || [ ! -x "$dir/tools/strevo-gpu-check" ]; then
  line FAIL "build: $(tail -n 5 "$log" | tr '\n' ' ')"
  exit 1
fi
line ok "build: $dir"
cli="$dir/tools/strevo-cli"

# The catalogue: hardware codecs are the ones that name a device.
catalogue=$("$cli" --list --json 2>/dev/null) || { line FAIL "catalogue: strevo-cli --list failed"; exit 1; }
hardware=$(printf '%s' "$catalogue" | python3 -c '
import json, sys
for c in json.load(sys.stdin)["videoCodecs"]:
    if "device" in c:
        print(c["name"] + "\t" + c["device"])')
software=$(printf '%s' "$catalogue" | python3 -c '
import json, sys
print(", ".join(c["name"] for c in json.load(sys.stdin)["videoCodecs"] if "device" not in c))')
line ok "catalogue: software video codecs: $software"
if [ -z "$hardware" ]; then
  line skip "catalogue: no hardware codec is listed on this machine"
else
  while IFS=$'\t' read -r name device; do
    line ok "catalogue: $name, served by $device"
  done <<<"$hardware"
fi

"$dir/tools/strevo-gpu-check" || failures=$((failures + 1))

work=$(mktemp -d)
trap 'rm -rf "$work" "$log"' EXIT
while IFS=$'\t' read -r name device; do
  [ -n "$name" ] || continue
  out="$work/$(printf '%s' "$name" | tr -c 'A-Za-z0-9' '_')"
  cat >"$out.json" <<EOF
{"project": {"videoOutput": {"width": 1280, "height": 720, "frameRate": 30},
             "audioOutput": {"channels": 2, "sampleRate": 48000}},
 "source": {"type": "generated"}, "duration": 2,
 "outputs": [{"videoCodec": {"codecName": "$name", "bitrate": 4000, "keyframeInterval": 1},
              "audioCodec": {"codecName": "AAC", "bitrate": 128},
              "container": {"format": "mp4"},
              "local": {"folder": "$out", "fileNameTemplate": "check"}}]}
EOF
  if ! message=$("$cli" -q "$out.json" 2>&1); then
    line FAIL "encode $name ($device): $(printf '%s' "$message" | tail -n 2 | tr '\n' ' ')"
    continue
  fi
  file=$(find "$out" -name '*.mp4' | head -n 1)
  probe=$(ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$file" 2>&1)
  IFS=, read -r codec width height frames <<<"$probe"
  want=h264
  case "$name" in HEVC*) want=hevc ;; esac
  if [ "$codec" = "$want" ] && [ "${width}x${height}" = 1280x720 ] && [ "${frames:-0}" -ge 50 ]; then
    line ok "encode $name ($device): $codec ${width}x${height}, $frames frames in 2 s"
  else
    line FAIL "encode $name ($device): ffprobe says '$probe' (wanted $want 1280x720, 50+ frames)"
  fi
done <<<"$hardware"

if [ -z "$hardware" ] && ! ls /dev/dri/renderD* >/dev/null 2>&1 && [ ! -e /proc/driver/nvidia/version ]; then
  line skip "no GPU: nothing to encode with on this machine"
fi
[ "$failures" -eq 0 ] && line ok "done: no check failed" || line FAIL "done: $failures checks failed"
[ "$failures" -eq 0 ]
