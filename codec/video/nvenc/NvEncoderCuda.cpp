#include "codec/video/nvenc/NvEncoderCuda.h"
#include "common/StrevoLog.h"

#include <QDebug>
#include <QFile>
#include <mutex>

// The resource file is compiled into the library; registering it from here keeps its object in
// any link of the library's static archive.
static void registerModuleResource()
{
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(nvenc); });
}

namespace {

bool failed(CUresult r, const char* call)
{
    if (r == CUDA_SUCCESS)
        return false;
    qCWarning(lcStrevo, "%s has returned CUDA error %d", call, static_cast<int>(r));
    return true;
}

} // namespace

NvEncoderCuda::~NvEncoderCuda()
{
    shutdown();
}

bool NvEncoderCuda::openDevice()
{
    const CUresult loaded = loadCudaDriver(0, 4000);
    if (loaded != CUDA_SUCCESS) {
        if (loaded == kCudaDriverMissing)
            qCWarning(lcStrevo,
                      "NvEncoderCuda: the CUDA driver libcuda.so.1 is missing (no NVIDIA driver), "
                      "NVENC cannot run");
        failed(loaded, "cuInit(0, __CUDA_API_VERSION, hHandleDriver)");
        return false;
    }
    if (createCudaEncodeContext(0, &m_context) != 0)
        return false;
    if (!loadModule())
        return false;
    return m_session->openSession(m_context, NV_ENC_DEVICE_TYPE_CUDA) == NV_ENC_SUCCESS;
}

bool NvEncoderCuda::loadModule()
{
    registerModuleResource();
    const CudaDriver& cu = cudaDriver();
    QFile file(QString::fromLatin1(kModuleResource));
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcStrevo, "NvEncoderCuda: the CUDA module %s is missing", kModuleResource);
        return false;
    }
    // The driver reads the PTX as a C string.
    const QByteArray ptx = file.readAll() + '\0';
    CudaContextScope scope(m_context);
    if (!scope.ok() || !cu.cuModuleLoadDataEx || !cu.cuModuleGetFunction)
        return false;

    char log[1024] = {};
    CUjit_option options[] = {CU_JIT_INFO_LOG_BUFFER_SIZE_BYTES, CU_JIT_INFO_LOG_BUFFER,
                              CU_JIT_MAX_REGISTERS};
    void* values[] = {reinterpret_cast<void*>(static_cast<uintptr_t>(sizeof(log))), log,
                      reinterpret_cast<void*>(static_cast<uintptr_t>(32))};
    const CUresult r = cu.cuModuleLoadDataEx(&m_module, ptx.constData(), 3, options, values);
    if (r != CUDA_SUCCESS) {
        qCWarning(lcStrevo, "NvEncoderCuda: cuModuleLoadDataEx returned %d: %s",
                  static_cast<int>(r), log);
        m_module = nullptr;
        return false;
    }
    if (failed(cu.cuModuleGetFunction(&m_interleaveUV, m_module, "InterleaveUV"),
               "cuModuleGetFunction(&m_cuInterleaveUVFunction, m_cuModule, \"InterleaveUV\")") ||
        failed(cu.cuModuleGetFunction(&m_scaleNV12, m_module, "Scale_Bilinear_NV12"),
               "cuModuleGetFunction(&m_cuScaleNV12Function, m_cuModule, "
               "\"Scale_Bilinear_NV12\")"))
        return false;

    // The texture references are only for the planar path: a failure, or a driver without the
    // texture-reference calls, leaves one null.
    if (!cu.cuModuleGetTexRef || !cu.cuTexRefSetFormat || !cu.cuTexRefSetFlags) {
        qCWarning(lcStrevo, "NvEncoderCuda: the CUDA driver lacks the texture-reference calls");
        return true;
    }
    struct
    {
        CUtexref* ref;
        const char* name;
        int components;
    } refs[] = {{&m_lumaTex, "luma_tex", 1}, {&m_chromaTex, "chroma_tex", 2}};
    for (auto& t : refs) {
        CUresult e = cu.cuModuleGetTexRef(t.ref, m_module, t.name);
        if (e != CUDA_SUCCESS) {
            qCWarning(lcStrevo, "%s line %d: cuModuleGetTexRef: %d", __FILE__, __LINE__, e);
        } else if ((e = cu.cuTexRefSetFormat(*t.ref, CU_AD_FORMAT_UNSIGNED_INT8, t.components))) {
            qCWarning(lcStrevo, "%s line %d: cuTexRefSetFormat: %d", __FILE__, __LINE__, e);
        } else if ((e = cu.cuTexRefSetFlags(*t.ref, kCudaTexReadAsInteger))) {
            qCWarning(lcStrevo, "%s line %d: cuTexRefSetFlags: %d", __FILE__, __LINE__, e);
        }
        if (e != CUDA_SUCCESS)
            *t.ref = nullptr;
    }
    return true;
}

NVENCSTATUS NvEncoderCuda::allocateBuffers(uint32_t width, uint32_t height)
{
    m_async = m_session->initializeParams().enableEncodeAsync != 0;
    const CudaDriver& cu = cudaDriver();
    CudaContextScope scope(m_context);
    if (!scope.ok())
        return NV_ENC_ERR_GENERIC;
    const size_t luma = static_cast<size_t>(m_session->maxWidth()) * m_session->maxHeight();
    if (failed(cu.cuMemAlloc(&m_chroma[0], luma / 4),
               "cuMemAlloc(&m_ChromaDevPtr[0], uInputWidth*uInputHeight / 4)") ||
        failed(cu.cuMemAlloc(&m_chroma[1], luma / 4),
               "cuMemAlloc(&m_ChromaDevPtr[1], uInputWidth*uInputHeight / 4)") ||
        failed(cu.cuMemAllocHost(&m_hostPlanes[0], luma),
               "cuMemAllocHost((void **)&m_yuv[0], uInputWidth*uInputHeight)") ||
        failed(cu.cuMemAllocHost(&m_hostPlanes[1], luma / 4),
               "cuMemAllocHost((void **)&m_yuv[1], uInputWidth*uInputHeight / 4)") ||
        failed(cu.cuMemAllocHost(&m_hostPlanes[2], luma / 4),
               "cuMemAllocHost((void **)&m_yuv[2], uInputWidth*uInputHeight / 4)"))
        return NV_ENC_ERR_GENERIC;

    for (uint32_t i = 0; i < m_ring.count(); ++i) {
        NvEncodeBuffer& b = m_buffers[i];
        size_t pitch = 0, scratchPitch = 0;
        if (failed(cu.cuMemAllocPitch(&m_input[i], &pitch, width, height * 3 / 2, 16),
                   "cuMemAllocPitch(&m_stEncodeBuffer[i].stInputBfr.pNV12devPtr, (size_t "
                   "*)&m_stEncodeBuffer[i].stInputBfr.uNV12Stride, uInputWidth, uInputHeight * "
                   "3 / 2, 16)") ||
            failed(cu.cuMemAllocPitch(&m_scratch[i], &scratchPitch, width, height * 3 / 2, 16),
                   "cuMemAllocPitch(&m_stEncodeBuffer[i].stInputBfr.pNV12TempdevPtr, (size_t "
                   "*)&m_stEncodeBuffer[i].stInputBfr.uNV12TempStride, uInputWidth, "
                   "uInputHeight * 3 / 2, 16)"))
            return NV_ENC_ERR_GENERIC;
        b.input.resource = reinterpret_cast<void*>(static_cast<uintptr_t>(m_input[i]));
        b.input.pitch = static_cast<uint32_t>(pitch);
        b.input.format = NV_ENC_BUFFER_FORMAT_NV12;
        b.input.width = width;
        b.input.height = height;
        NVENCSTATUS r = m_session->registerResource(NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR,
                                                    b.input.resource, width, height, b.input.pitch,
                                                    b.input.format, &b.input.registered);
        if (r == NV_ENC_SUCCESS)
            r = setUpOutput(b, m_async);
        if (r != NV_ENC_SUCCESS)
            return r;
    }
    return setUpEndOfStream(m_async);
}

bool NvEncoderCuda::loadFrame(NvEncodeBuffer& buffer, unsigned char* data, unsigned int size)
{
    const CudaDriver& cu = cudaDriver();
    const CodecModel::VideoCodec& video = m_preset.videoCodec();
    const size_t width = static_cast<size_t>(video.width);
    const size_t height = static_cast<size_t>(video.height);
    const size_t frame = width * height * 3 / 2;
    if (size < frame) {
        qCWarning(lcStrevo,
                  "NvEncoderCuda: a frame of %u bytes is short of the %zu bytes of NV12 at %zux%zu",
                  size, frame, width, height);
        return false;
    }
    CudaContextScope scope(m_context);
    if (!scope.ok())
        return false;
    const CUdeviceptr dst =
        static_cast<CUdeviceptr>(reinterpret_cast<uintptr_t>(buffer.input.resource));
    if (buffer.input.pitch == width)
        return !failed(cu.cuMemcpyHtoD(dst, data, frame),
                       "cuMemcpyHtoD(pEncodeBuffer->stInputBfr.pNV12devPtr, dataIn, sizeIn)");

    CUDA_MEMCPY2D copy{};
    copy.srcMemoryType = CU_MEMORYTYPE_HOST;
    copy.srcHost = data;
    copy.srcPitch = width;
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.dstDevice = dst;
    copy.dstPitch = buffer.input.pitch;
    copy.WidthInBytes = width;
    copy.Height = height;
    if (failed(cu.cuMemcpy2D(&copy), "cuMemcpy2D(&copyParam)"))
        return false;
    copy.srcHost = data + width * height;
    copy.dstDevice = dst + static_cast<CUdeviceptr>(buffer.input.pitch) * height;
    copy.Height = height / 2;
    return !failed(cu.cuMemcpy2D(&copy), "cuMemcpy2D(&copyParam)");
}

void NvEncoderCuda::releaseInputs()
{
    if (!m_context)
        return;
    const CudaDriver& cu = cudaDriver();
    CudaContextScope scope(m_context);
    for (CUdeviceptr& p : m_chroma) {
        if (p)
            cu.cuMemFree(p);
        p = 0;
    }
    for (void*& p : m_hostPlanes) {
        if (p)
            cu.cuMemFreeHost(p);
        p = nullptr;
    }
    for (int i = 0; i < kMaxBuffers; ++i) {
        NvEncodeBuffer& b = m_buffers[i];
        // A resource NVENC would not let go of is reported; its memory goes with the context.
        if (m_session->unregisterResource(b.input.registered) == NV_ENC_SUCCESS) {
            if (m_input[i])
                cu.cuMemFree(m_input[i]);
            if (m_scratch[i])
                cu.cuMemFree(m_scratch[i]);
        }
        b.input.registered = nullptr;
        m_input[i] = m_scratch[i] = 0;
    }
}

void NvEncoderCuda::closeDevice()
{
    if (!m_context)
        return;
    const CudaDriver& cu = cudaDriver();
    if (m_module && cu.cuModuleUnload) {
        CudaContextScope scope(m_context);
        cu.cuModuleUnload(m_module);
    }
    m_module = nullptr;
    failed(cu.cuCtxDestroy(m_context), "cuCtxDestroy(m_cuContext)");
    m_context = nullptr;
}
