#!/bin/sh
# Regenerates preproc64_lowlat.ptx from preproc64_lowlat.cu (needs the CUDA toolkit's nvcc; the
# build itself only embeds the PTX). nvcc no longer declares texture references, so the two that
# the kernels read by name are added right after the PTX header.
set -e
cd "$(dirname "$0")"
NVCC=${NVCC:-nvcc}
"$NVCC" -ptx -arch=compute_75 -diag-suppress 550 -o preproc64_lowlat.ptx.tmp preproc64_lowlat.cu
sed '/^\.address_size 64/a .global .texref luma_tex;\n.global .texref chroma_tex;' \
    preproc64_lowlat.ptx.tmp > preproc64_lowlat.ptx
rm preproc64_lowlat.ptx.tmp
