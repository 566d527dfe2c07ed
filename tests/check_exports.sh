#!/usr/bin/env bash
# Fails when libstrevo.so exports a defined symbol outside its public surface.
set -euo pipefail
lib=$1
classes='(IEncoder|Encoder|RefEncoder|EncoderGroup|Strevo|IStrevoObserver|MFVideo|DownloadAmf|IMuxerCallback|LiveUrl|IVideoThread|IAudioThread|IEncodingStatus|IEncodingCallback|D3D11Texture2D|D3D11DeviceContext|D3D11Device|HostD3D11Device|CudaD3D11Device)'
allowed="^(base_|blog|bcrash|bmalloc|brealloc|bmemdup|bfree|bnum_allocs|z_|soundtouch::|${classes}::|non-virtual thunk to ${classes}::|(typeinfo|typeinfo name|vtable) for ${classes}$|_init$|_fini$|_edata$|_end$|__bss_start$|STREVO_[0-9.]+$)"
syms=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt)
bad=$(printf '%s\n' "$syms" | grep -Ev "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"; printf '%s\n' "$bad"; exit 1
fi
for required in 'IEncoder::createVideoEncoder' 'IEncoder::createAudioEncoder' 'Encoder::Encoder()' 'bmalloc' 'base_set_log_handler' 'Strevo::codecIdFromName'; do
  printf '%s\n' "$syms" | grep "$required" >/dev/null || { echo "missing export: $required"; exit 1; }
done
echo "exports OK ($(printf '%s\n' "$syms" | wc -l) symbols)"
