#include "codec/video/amf/DownloadAmf.h"

#include "codec/video/amf/CircuitQueue.h"
#include "common/DirectX11Manager.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/ThreadCallback.h"
#include "platform/D3D11Device.h"
#include "platform/amf/AmfRef.h"
#include "platform/amf/AmfRuntime.h"
#include "platform/amf/AmfTraceAdapter.h"
#include "platform/amf/AmfVariant.h"

#include <QDebug>
#include <cstring>

using namespace amf;

namespace {
const char* const kScope = "DownloadAmf";
}

#define AMF_ERROR(result, message)                                                                 \
    AmfTraceAdapter::error(kScope, __FILE__, __LINE__, result, message)

// The AMF objects, declared in the order they are released in reverse.
struct DownloadAmf::Amf
{
    AmfRuntimeUser runtime;
    AmfContextRef context;
    AmfComponentRef converter;
    AmfSurfaceRef input; // DX11 RGBA surface the host's texture is copied into
    bool ended = false;  // worker only: the converter answered end of stream
    bool sizeWarned = false;

    // (Re)initialises the converter for RGBA in, NV12 out at width x height, in DX11 memory,
    // and allocates the input surface of that size.
    AMF_RESULT setUp(int width, int height)
    {
        input.reset();
        AMF_RESULT r;
        if ((r = converter->SetProperty("MemoryType", AmfVariant(AMF_MEMORY_DX11))) != AMF_OK ||
            (r = converter->SetProperty("OutputFormat", AmfVariant(AMF_SURFACE_NV12))) != AMF_OK ||
            (r = converter->SetProperty("OutputSize", AmfVariant(AMFSize{width, height}))) !=
                AMF_OK ||
            (r = converter->Init(AMF_SURFACE_RGBA, width, height)) != AMF_OK)
            return r;
        r = context->AllocSurface(AMF_MEMORY_DX11, AMF_SURFACE_RGBA, width, height,
                                  input.receive());
        return r == AMF_OK && !input ? AMF_FAIL : r;
    }

    ~Amf()
    {
        input.reset();
        if (converter)
            converter->Terminate();
        if (context)
            context->Terminate();
    }
};

DownloadAmf::DownloadAmf() = default;

DownloadAmf::~DownloadAmf()
{
    m_worker.reset(); // joins the worker before anything it uses goes away
    m_ring.reset();
    m_amf.reset();
}

int DownloadAmf::format() const
{
    return PIX_NV12;
}

bool DownloadAmf::initialize(int width, int height)
{
    if (m_worker) {
        qCWarning(lcStrevo, "DownloadAmf: already initialized");
        return false;
    }
    if (width <= 0 || height <= 0 || width % 2 || height % 2) {
        qCWarning(lcStrevo, "DownloadAmf: cannot convert %dx%d: the size must be positive and even",
                  width, height);
        return false;
    }
    m_width = width;
    m_height = height;
    auto amf = std::make_unique<Amf>();
    if (amf->runtime.acquire() != AMF_OK) {
        qCWarning(lcStrevo, "AMF Failed to initialize: the AMF runtime (%s) is missing or unusable",
                  AmfRuntime::kLibraryName);
        return false;
    }
    D3D11Device* device = Singleton<DirectX11Manager>::getInstancePtr()->d3ddev();
    if (!device || !Singleton<DirectX11Manager>::getInstancePtr()->d3dctx()) {
        qCWarning(lcStrevo,
                  "DownloadAmf: no Direct3D 11 device and context set on DirectX11Manager");
        return false;
    }
    AMFFactory* factory = AmfRuntime::factory();
    AMF_RESULT r = factory->CreateContext(amf->context.receive());
    if (r != AMF_OK || !amf->context) {
        AMF_ERROR(r, QStringLiteral("CreateContext failed"));
        return false;
    }
    r = amf->context->InitDX11(device, AMF_DX11_0);
    if (r != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("InitDX11 failed"));
        return false;
    }
    r = factory->CreateComponent(amf->context.get(), "AMFVideoConverter", amf->converter.receive());
    if (r != AMF_OK || !amf->converter) {
        AMF_ERROR(r, QStringLiteral("CreateComponent(AMFVideoConverter) failed"));
        return false;
    }
    if ((r = amf->setUp(width, height)) != AMF_OK) {
        AMF_ERROR(r, QStringLiteral("setting up the converter for %1x%2 RGBA to NV12 failed")
                         .arg(width)
                         .arg(height));
        return false;
    }
    m_frameSize = width * height * 3 / 2;
    m_ring = std::make_unique<CircuitQueue<unsigned char>>(2 * m_frameSize, 0);
    m_amf = std::move(amf);
    m_worker = std::make_unique<ThreadCallback>(this);
    m_thread = m_worker.get();
    m_worker->start(QThread::InheritPriority);
    return true;
}

bool DownloadAmf::enqueue(void* texture, const QSize& size)
{
    // Waits for a conversion under way: it may still copy from the previous texture, which the
    // host is free to release once this returns.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texture = texture;
    if (size.width() == m_width && size.height() == m_height)
        return true;
    m_width = size.width();
    m_height = size.height();
    m_frameSize = m_width * m_height + m_width * m_height / 2;
    m_ring = std::make_unique<CircuitQueue<unsigned char>>(2 * std::max(m_frameSize, 0), 0);
    return true;
}

unsigned char* DownloadAmf::data()
{
    if (!m_worker)
        return nullptr;
    // Take the oldest frame first: the conversion started next can then only fill the other
    // place, never the one handed out.
    unsigned char* frame = m_ring ? m_ring->read(m_frameSize) : nullptr;
    m_requested.store(true);
    m_worker->wakeThread();
    return frame;
}

void DownloadAmf::threadCallback()
{
    ThreadCallback* const worker = m_thread;
    while (!worker->isExitThread()) {
        worker->waitUntil([this] { return m_requested.exchange(false); });
        if (worker->isExitThread())
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        convertOnce();
        if (m_amf->ended)
            return;
    }
}

void DownloadAmf::convertOnce()
{
    auto* texture = static_cast<D3D11Texture2D*>(m_texture);
    D3D11DeviceContext* context = Singleton<DirectX11Manager>::getInstancePtr()->d3dctx();
    AMFPlane inputPlane{};
    if (!texture || !context)
        return;
    if (m_amf->input && m_amf->input->GetPlaneAt(0, &inputPlane) == AMF_OK &&
        (inputPlane.width != m_width || inputPlane.height != m_height)) {
        // The host's frames changed size: the converter follows.
        m_amf->converter->Terminate();
        const AMF_RESULT r = m_amf->setUp(m_width, m_height);
        if (r != AMF_OK && !m_amf->sizeWarned)
            AMF_ERROR(r, QStringLiteral("resizing the converter to %1x%2 failed")
                             .arg(m_width)
                             .arg(m_height));
        m_amf->sizeWarned = r != AMF_OK;
    }
    if (!m_amf->input || m_amf->input->GetPlaneAt(0, &inputPlane) != AMF_OK)
        return;
    if (!context->copyResource(static_cast<D3D11Texture2D*>(inputPlane.native), texture)) {
        if (!m_amf->sizeWarned)
            qCWarning(lcStrevo,
                      "DownloadAmf: cannot copy the texture into the converter's %dx%d surface",
                      inputPlane.width, inputPlane.height);
        m_amf->sizeWarned = true;
        return;
    }
    AMF_RESULT r = m_amf->converter->SubmitInput(m_amf->input.get());
    if (r != AMF_OK && r != AMF_INPUT_FULL)
        qCDebug(lcStrevo, "DownloadAmf: the converter refused the frame (%d)", r);
    AmfDataRef output;
    r = m_amf->converter->QueryOutput(output.receive());
    if (r == AMF_EOF) {
        m_amf->ended = true;
        return;
    }
    if (r != AMF_OK || !output)
        return;
    if ((r = output->Convert(AMF_MEMORY_HOST)) != AMF_OK) {
        qCDebug(lcStrevo, "DownloadAmf: moving the frame to host memory failed (%d)", r);
        return;
    }
    AmfSurfaceRef surface = output.query<AMFSurface>(AmfIid::Surface);
    AMFPlane luma{}, chroma{};
    if (!surface || surface->GetPlaneAt(0, &luma) != AMF_OK || !luma.native)
        return;
    if (luma.width != m_width || luma.height != m_height)
        return; // converted before a size change
    // NV12 with its chroma plane either separate or right below the luma rows.
    if (surface->GetPlanesCount() < 2 || surface->GetPlaneAt(1, &chroma) != AMF_OK ||
        !chroma.native) {
        chroma = luma;
        chroma.native = static_cast<unsigned char*>(luma.native) +
                        static_cast<size_t>(luma.hPitch) * luma.height;
    }
    m_scratch.resize(static_cast<size_t>(m_frameSize));
    unsigned char* dst = m_scratch.data();
    for (int row = 0; row < m_height; ++row, dst += m_width)
        std::memcpy(
            dst, static_cast<unsigned char*>(luma.native) + static_cast<size_t>(row) * luma.hPitch,
            m_width);
    for (int row = 0; row < m_height / 2; ++row, dst += m_width)
        std::memcpy(dst,
                    static_cast<unsigned char*>(chroma.native) +
                        static_cast<size_t>(row) * chroma.hPitch,
                    m_width);
    m_ring->write(m_scratch.data(), m_frameSize); // dropped when both places are taken
}
