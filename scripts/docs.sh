#!/usr/bin/env bash
# Builds the API reference with Doxygen from the installed headers (STREVO_PUBLIC_HEADERS in
# cmake/StrevoInstall.cmake, read here so that the two lists never drift) and the settings in
# cmake/Doxyfile. Every public name must be documented: any Doxygen warning fails the run, and
# the warnings are printed.
# Usage: scripts/docs.sh [output folder]   (default build/docs; the HTML is in <folder>/html)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
"$root/scripts/install-deps.sh"

out=${1:-build/docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Documented on their own branches; taken into the reference when those are merged.
pending=()

mapfile -t installed < <(sed -n '/^set(STREVO_PUBLIC_HEADERS/,/^)/{/^set(\|^)/d;s/^[[:space:]]*//;s/[[:space:]]*$//;/^$/d;p}' \
  cmake/StrevoInstall.cmake)
if [ ${#installed[@]} -eq 0 ]; then
  echo "docs.sh: no headers found in STREVO_PUBLIC_HEADERS (cmake/StrevoInstall.cmake)" >&2
  exit 1
fi

inputs=()
for header in "${installed[@]}"; do
  skip=0
  for p in "${pending[@]}"; do
    [ "$header" = "$p" ] && skip=1
  done
  [ "$skip" = 1 ] && continue
  if [ ! -f "$header" ]; then
    echo "docs.sh: $header is listed in STREVO_PUBLIC_HEADERS but does not exist" >&2
    exit 1
  fi
  inputs+=("$root/$header")
done

log="$out/warnings.log"
rm -f "$log"
status=0
{
  cat cmake/Doxyfile
  echo "INPUT = ${inputs[*]}"
  echo "OUTPUT_DIRECTORY = $out"
  echo "WARN_LOGFILE = $log"
  echo "STRIP_FROM_PATH = $root"
  echo "STRIP_FROM_INC_PATH = $root"
} | doxygen - || status=$?

if [ "$status" -ne 0 ] || [ -s "$log" ]; then
  [ -f "$log" ] && cat "$log" >&2
  count=$(grep -cE ': (warning|error): ' "$log" 2>/dev/null || true)
  echo "docs.sh: Doxygen reported ${count:-0} warning(s) (exit status $status); document the names above" >&2
  exit 1
fi
echo "docs.sh: API reference of ${#inputs[@]} headers at $out/html/index.html"
