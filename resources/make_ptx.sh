#!/bin/sh
# Regenerates preproc64_lowlat.ptx from preproc64_lowlat.cu (needs the CUDA toolkit's nvcc; the
# build itself only embeds the PTX). nvcc no longer declares texture references, so the two that
# the kernels read by name are added right after the PTX header. The header then asks for PTX ISA
# 6.0 on sm_30 (all the kernels use exists there): drivers from CUDA 9 on load it, on every GPU
# with NVENC (compute capability 3.0 and newer), where a newer toolkit's header would lock out
# older drivers.
set -e
cd "$(dirname "$0")"
NVCC=${NVCC:-nvcc}
"$NVCC" -ptx -arch=compute_75 -diag-suppress 550 -o preproc64_lowlat.ptx.tmp preproc64_lowlat.cu
sed -e '/^\.address_size 64/a .global .texref luma_tex;\n.global .texref chroma_tex;' \
    -e 's/^\.version .*/.version 6.0/' -e 's/^\.target .*/.target sm_30/' \
    preproc64_lowlat.ptx.tmp > preproc64_lowlat.ptx
rm preproc64_lowlat.ptx.tmp
