#!/usr/bin/env bash
# Fails when libstrevo.so exports a defined symbol outside its public surface.
set -euo pipefail
lib=$1
allowed='^(base_|blog|bcrash|bmalloc|brealloc|bmemdup|bfree|bnum_allocs|z_|IEncoder|typeinfo for IEncoder|typeinfo name for IEncoder|vtable for IEncoder|Encoder|RefEncoder|Strevo|typeinfo for Strevo|typeinfo name for Strevo|vtable for Strevo|MFVideo|DownloadAmf|soundtouch::|_init$|_fini$|_edata$|_end$|__bss_start$)'
syms=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt)
bad=$(printf '%s\n' "$syms" | grep -Ev "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"; printf '%s\n' "$bad"; exit 1
fi
for required in 'IEncoder::createVideoEncoder' 'IEncoder::createAudioEncoder'; do
  printf '%s\n' "$syms" | grep -q "$required" || { echo "missing export: $required"; exit 1; }
done
echo "exports OK ($(printf '%s\n' "$syms" | wc -l) symbols)"
