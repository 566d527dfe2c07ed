// Pre-processing kernels of the NVENC CUDA input path, for planar input: InterleaveUV packs
// separate U and V planes into the interleaved chroma plane of NV12; Scale_Bilinear_NV12
// resizes an NV12 picture bound to the texture references luma_tex (8-bit, one component) and
// chroma_tex (8-bit, two components), read as integers with unnormalised coordinates.
//
// CUDA 12 dropped texture references from C++, so the kernels read them with the PTX `tex`
// instruction by name, and make_ptx.sh adds the two `.texref` declarations to the PTX that nvcc
// writes. Regenerate with resources/make_ptx.sh (needs nvcc); the build only embeds the PTX.

#define TEX2D(result, tex, x, y)                                                                  \
    do {                                                                                          \
        unsigned int r_, g_, b_, a_;                                                              \
        asm volatile("tex.2d.v4.u32.f32 {%0, %1, %2, %3}, [" tex ", {%4, %5}];"                   \
                     : "=r"(r_), "=r"(g_), "=r"(b_), "=r"(a_)                                     \
                     : "f"(x), "f"(y));                                                           \
        result = make_uint2(r_, g_);                                                              \
    } while (0)

extern "C" __global__ void InterleaveUV(const unsigned char* u, const unsigned char* v,
                                        int chromaWidth, int chromaHeight, int srcPitch,
                                        unsigned char* nv12Chroma, int dstPitch)
{
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= chromaWidth || y >= chromaHeight)
        return;
    unsigned char* dst = nv12Chroma + y * dstPitch + 2 * x;
    dst[0] = u[y * srcPitch + x];
    dst[1] = v[y * srcPitch + x];
}

// One thread per output luma sample; the threads at even coordinates also write the chroma
// pair of their 2x2 block. xScale, yScale: source size over destination size.
extern "C" __global__ void Scale_Bilinear_NV12(unsigned char* dst, int dstPitch, int dstWidth,
                                               int dstHeight, float xScale, float yScale)
{
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= dstWidth || y >= dstHeight)
        return;
    const float sx = (x + 0.5f) * xScale - 0.5f;
    const float sy = (y + 0.5f) * yScale - 0.5f;
    const float fx = sx - floorf(sx), fy = sy - floorf(sy);
    const float x0 = floorf(sx) + 0.5f, y0 = floorf(sy) + 0.5f;
    uint2 p00, p10, p01, p11;
    TEX2D(p00, "luma_tex", x0, y0);
    TEX2D(p10, "luma_tex", x0 + 1.f, y0);
    TEX2D(p01, "luma_tex", x0, y0 + 1.f);
    TEX2D(p11, "luma_tex", x0 + 1.f, y0 + 1.f);
    const float top = p00.x + (float(p10.x) - p00.x) * fx;
    const float bottom = p01.x + (float(p11.x) - p01.x) * fx;
    dst[y * dstPitch + x] = (unsigned char)(top + (bottom - top) * fy + 0.5f);

    if ((x & 1) || (y & 1))
        return;
    const float cx = (x / 2 + 0.5f) * xScale, cy = (y / 2 + 0.5f) * yScale;
    uint2 c;
    TEX2D(c, "chroma_tex", cx, cy);
    unsigned char* chroma = dst + dstHeight * dstPitch + (y / 2) * dstPitch + x;
    chroma[0] = (unsigned char)c.x;
    chroma[1] = (unsigned char)c.y;
}
