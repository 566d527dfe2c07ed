// A fake AMF runtime: real conversion (libswscale) and H.264 (FakeSoftwareEncoder), steered by
// FakeAmfKnobs.

#include "platform/D3D11Device.h"
#include "platform/amf/AmfInterfaces.h"
#include "platform/amf/AmfRef.h"
#include "platform/amf/AmfVariant.h"
#include "tests/fakes/FakeSoftwareEncoder.h"
#include "tests/fakes/amf/FakeAmfKnobs.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <deque>
#include <vector>

using namespace amf;

namespace {

FakeAmfKnobs g_knobs;

AMF_RESULT fail(const std::string& call)
{
    std::lock_guard<std::mutex> lock(g_knobs.mutex);
    if (g_knobs.failing != call)
        return AMF_OK;
    g_knobs.failing.clear();
    return AMF_FAIL;
}

template <class I> class Obj : public I
{
public:
    virtual ~Obj() = default;
    long Acquire() override { return ++m_refs; }
    long Release() override
    {
        const long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    AMF_RESULT QueryInterface(AmfIid iid, void** out) override
    {
        if (!answers(iid))
            return AMF_NO_INTERFACE;
        Acquire();
        *out = static_cast<I*>(this);
        return AMF_OK;
    }
    AMF_RESULT SetProperty(const char* name, const AMFVariantStruct& value) override
    {
        if (fail(std::string("SetProperty:") + name))
            return AMF_FAIL;
        std::lock_guard<std::mutex> lock(m_propMutex);
        m_props[name] = AmfVariant(value);
        return AMF_OK;
    }
    AMF_RESULT GetProperty(const char* name, AMFVariantStruct* value) override
    {
        std::lock_guard<std::mutex> lock(m_propMutex);
        auto it = m_props.find(name);
        if (it == m_props.end())
            return AMF_NOT_FOUND;
        AmfVariant copy(it->second);
        *value = copy;
        copy.type = AMFVariantStruct::Empty; // the reference went to *value
        return AMF_OK;
    }
    AmfVariant prop(const char* name)
    {
        std::lock_guard<std::mutex> lock(m_propMutex);
        auto it = m_props.find(name);
        return it == m_props.end() ? AmfVariant() : it->second;
    }

protected:
    virtual bool answers(AmfIid iid) const
    {
        return iid == AmfIid::Interface || iid == AmfIid::PropertyStorage;
    }

private:
    std::atomic<long> m_refs{1};
    std::mutex m_propMutex;
    std::map<std::string, AmfVariant> m_props;
};

class Buffer : public Obj<AMFBuffer>
{
public:
    explicit Buffer(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    AMF_MEMORY_TYPE GetMemoryType() override { return AMF_MEMORY_HOST; }
    AMF_RESULT Convert(AMF_MEMORY_TYPE type) override
    {
        return type == AMF_MEMORY_HOST ? AMF_OK : AMF_NOT_SUPPORTED;
    }
    size_t GetSize() override { return m_bytes.size(); }
    void* GetNative() override { return m_bytes.data(); }

protected:
    bool answers(AmfIid iid) const override
    {
        return iid == AmfIid::Buffer || iid == AmfIid::Data || Obj::answers(iid);
    }

private:
    std::vector<uint8_t> m_bytes;
};

// Host surfaces keep their planes in one block, rows unpadded; DX11 surfaces keep a texture of
// the context's device.
class Surface : public Obj<AMFSurface>
{
public:
    Surface(AMF_SURFACE_FORMAT format, int width, int height)
        : m_format(format), m_width(width), m_height(height)
    {
    }
    bool allocate(AMF_MEMORY_TYPE type, D3D11Device* device)
    {
        if (type == AMF_MEMORY_HOST) {
            m_host.resize(static_cast<size_t>(pitch()) * rows());
            return true;
        }
        if (type != AMF_MEMORY_DX11 || !device)
            return false;
        m_texture = device->createTexture2D(
            {m_width, m_height,
             m_format == AMF_SURFACE_NV12 ? DxgiFormat::NV12 : DxgiFormat::R8G8B8A8});
        return m_texture != nullptr;
    }
    int pitch() const { return m_format == AMF_SURFACE_NV12 ? m_width : m_width * 4; }
    int rows() const { return m_format == AMF_SURFACE_NV12 ? m_height * 3 / 2 : m_height; }
    uint8_t* pixels() { return m_texture ? m_texture->hostPointer() : m_host.data(); }

    AMF_MEMORY_TYPE GetMemoryType() override
    {
        return m_texture ? AMF_MEMORY_DX11 : AMF_MEMORY_HOST;
    }
    AMF_RESULT Convert(AMF_MEMORY_TYPE type) override
    {
        if (fail("Convert") || (type != AMF_MEMORY_HOST && type != GetMemoryType()))
            return AMF_FAIL;
        if (type == AMF_MEMORY_HOST && m_texture) {
            m_host.resize(static_cast<size_t>(pitch()) * rows());
            if (!m_texture->download(m_host.data(), pitch()))
                return AMF_DIRECTX_FAILED;
            m_texture.reset();
        }
        return AMF_OK;
    }
    AMF_SURFACE_FORMAT GetFormat() override { return m_format; }
    int GetPlanesCount() override { return m_format == AMF_SURFACE_NV12 ? 2 : 1; }
    AMF_RESULT GetPlaneAt(int index, AMFPlane* plane) override
    {
        if (index < 0 || index >= GetPlanesCount())
            return AMF_INVALID_ARG;
        const int p = pitch();
        void* native = m_texture ? static_cast<void*>(m_texture.get())
                                 : m_host.data() + (index ? static_cast<size_t>(p) * m_height : 0);
        *plane = index
                     ? AMFPlane{native, m_width / 2, m_height / 2, p, 2}
                     : AMFPlane{native, m_width, m_height, p, m_format == AMF_SURFACE_NV12 ? 1 : 4};
        return AMF_OK;
    }

protected:
    bool answers(AmfIid iid) const override
    {
        return iid == AmfIid::Surface || iid == AmfIid::Data || Obj::answers(iid);
    }

private:
    const AMF_SURFACE_FORMAT m_format;
    const int m_width, m_height;
    std::vector<uint8_t> m_host;
    std::unique_ptr<D3D11Texture2D> m_texture;
};

class Context : public Obj<AMFContext>
{
public:
    AMF_RESULT Terminate() override { return AMF_OK; }
    AMF_RESULT InitDX11(void* device, AMF_DX_VERSION) override
    {
        if (fail("InitDX11"))
            return AMF_FAIL;
        m_device = static_cast<D3D11Device*>(device);
        return AMF_OK;
    }
    void* GetDX11Device() override { return m_device; }
    AMF_RESULT AllocSurface(AMF_MEMORY_TYPE type, AMF_SURFACE_FORMAT format, int32_t width,
                            int32_t height, AMFSurface** out) override
    {
        if (fail("AllocSurface"))
            return AMF_FAIL;
        auto surface = AmfRef<Surface>::adopt(new Surface(format, width, height));
        if (!surface->allocate(type, m_device))
            return AMF_INVALID_ARG;
        *out = surface.detach();
        return AMF_OK;
    }

private:
    D3D11Device* m_device = nullptr;
};

// Output queue, drain and observer shared by the converter and the encoder; process() turns
// one input into outputs synchronously.
class Component : public Obj<AMFComponent>
{
public:
    Component(AMFContext* context, std::string id)
        : m_context(AmfRef<AMFContext>::share(context)), m_id(std::move(id))
    {
    }
    AMF_RESULT Init(AMF_SURFACE_FORMAT format, int32_t width, int32_t height) override
    {
        if (fail("Init:" + m_id))
            return AMF_FAIL;
        return open(format, width, height) ? AMF_OK : AMF_INVALID_ARG;
    }
    AMF_RESULT Terminate() override { return AMF_OK; }
    AMF_RESULT Drain() override
    {
        if (fail("Drain:" + m_id))
            return AMF_FAIL;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            finish();
            m_drained = true;
        }
        notify();
        return AMF_OK;
    }
    AMF_RESULT Flush() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_out.clear();
        m_drained = false;
        restart();
        return AMF_OK;
    }
    AMF_RESULT SubmitInput(AMFData* data) override
    {
        if (fail("SubmitInput:" + m_id))
            return AMF_FAIL;
        auto surface = AmfRef<AMFData>::share(data).query<AMFSurface>(AmfIid::Surface);
        if (!surface)
            return AMF_INVALID_ARG;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_drained)
                return AMF_WRONG_STATE;
            if (!process(static_cast<Surface*>(surface.get())))
                return AMF_FAIL;
        }
        notify();
        return AMF_OK;
    }
    AMF_RESULT QueryOutput(AMFData** data) override
    {
        if (fail("QueryOutput:" + m_id))
            return AMF_FAIL;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_out.empty() || (holds() && g_knobs.hold))
            return m_out.empty() && m_drained ? AMF_EOF : AMF_REPEAT;
        *data = m_out.front().detach();
        m_out.pop_front();
        return AMF_OK;
    }
    AMF_RESULT SetOutputObserver(AMFComponentObserver* observer) override
    {
        std::lock_guard<std::mutex> lock(m_observerMutex);
        m_observer = observer;
        return AMF_OK;
    }
    void notify()
    {
        std::lock_guard<std::mutex> lock(m_observerMutex);
        if (m_observer)
            m_observer->OnOutputReady();
    }

protected:
    virtual bool open(AMF_SURFACE_FORMAT format, int width, int height) = 0;
    virtual bool process(Surface* input) = 0; // with m_mutex held
    virtual void finish() {}                  // with m_mutex held
    virtual void restart() {}                 // with m_mutex held
    virtual bool holds() const { return false; }

    AmfRef<AMFContext> m_context;
    std::deque<AmfRef<AMFData>> m_out; // guarded by m_mutex

private:
    const std::string m_id;
    bool m_drained = false; // guarded by m_mutex
    std::mutex m_mutex;
    AMFComponentObserver* m_observer = nullptr; // guarded by m_observerMutex
    std::mutex m_observerMutex;
};

// NV12 or RGBA in, NV12 out in the memory type of "MemoryType", at "OutputSize".
class Converter : public Component
{
public:
    using Component::Component;

protected:
    bool open(AMF_SURFACE_FORMAT format, int width, int height) override
    {
        const AmfVariant size = prop("OutputSize");
        m_outW = size.type == AMFVariantStruct::Size ? size.sizeValue.width : width;
        m_outH = size.type == AMFVariantStruct::Size ? size.sizeValue.height : height;
        m_memory = static_cast<AMF_MEMORY_TYPE>(prop("MemoryType").toInt64());
        sws_freeContext(m_sws);
        m_sws = sws_getContext(
            width, height, format == AMF_SURFACE_RGBA ? AV_PIX_FMT_RGBA : AV_PIX_FMT_NV12, m_outW,
            m_outH, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
        return m_sws != nullptr;
    }
    bool process(Surface* in) override
    {
        auto out = AmfRef<Surface>::adopt(new Surface(AMF_SURFACE_NV12, m_outW, m_outH));
        if (!out->allocate(m_memory, static_cast<D3D11Device*>(m_context->GetDX11Device())))
            return false;
        AMFPlane p{};
        in->GetPlaneAt(0, &p);
        const uint8_t* src[4] = {in->pixels(),
                                 in->pixels() + static_cast<size_t>(in->pitch()) * p.height};
        const int srcStride[4] = {in->pitch(), in->pitch()};
        uint8_t* dst[4] = {out->pixels(),
                           out->pixels() + static_cast<size_t>(out->pitch()) * m_outH};
        const int dstStride[4] = {out->pitch(), out->pitch()};
        sws_scale(m_sws, src, srcStride, 0, p.height, dst, dstStride);
        out->SetProperty("ForcePictureType", in->prop("ForcePictureType"));
        m_out.push_back(AmfRef<AMFData>::adopt(out.detach()));
        return true;
    }

public:
    ~Converter() override { sws_freeContext(m_sws); }

private:
    SwsContext* m_sws = nullptr;
    int m_outW = 0, m_outH = 0;
    AMF_MEMORY_TYPE m_memory = AMF_MEMORY_HOST;
};

// H.264 with the parameter sets in "ExtraData", packets marked by "OutputDataType".
class Encoder : public Component
{
public:
    using Component::Component;

protected:
    bool open(AMF_SURFACE_FORMAT, int width, int height) override
    {
        std::map<std::string, long long> seen;
        for (const char* name : {"BPicturesPattern", "QualityPreset", "RateControlMethod",
                                 "IDRPeriod", "FrameRate", "ProfileLevel"}) {
            const AmfVariant v = prop(name);
            if (v.type == AMFVariantStruct::Rate)
                seen[name] = v.rateValue.num * 10000LL + v.rateValue.den;
            else if (v.type != AMFVariantStruct::Empty)
                seen[name] = v.toInt64();
        }
        {
            std::lock_guard<std::mutex> lock(g_knobs.mutex);
            g_knobs.encoder = seen;
        }
        m_width = width;
        m_height = height;
        restart();
        return m_sw.isOpen();
    }
    void restart() override
    {
        AmfVariant rate = prop("FrameRate");
        if (rate.type != AMFVariantStruct::Rate)
            rate = AmfVariant(AMFRate{30, 1});
        m_sw = FakeSoftwareEncoder();
        m_sw.open(false, m_width, m_height, rate.rateValue.num, rate.rateValue.den,
                  static_cast<int>(prop("TargetBitrate").toInt64()),
                  static_cast<int>(prop("IDRPeriod").toInt64()), 0, true);
        AmfRef<AMFBuffer> extra = AmfRef<AMFBuffer>::adopt(new Buffer(m_sw.extradata()));
        SetProperty("ExtraData", AmfVariant(static_cast<AMFInterface*>(extra.get())));
        m_pts = 0;
    }
    bool process(Surface* in) override
    {
        const int pitch = in->pitch();
        return m_sw.send(in->pixels(), pitch, in->pixels() + static_cast<size_t>(pitch) * m_height,
                         pitch, m_pts++, in->prop("ForcePictureType").toInt64() == 2) &&
               collect();
    }
    void finish() override
    {
        m_sw.flush();
        collect();
    }
    bool holds() const override { return true; }

private:
    bool collect()
    {
        FakeSoftwareEncoder::Packet packet;
        while (m_sw.receive(packet)) {
            if (m_outputs++ == g_knobs.emptyBefore)
                m_out.push_back(AmfRef<AMFData>::adopt(new Buffer({})));
            auto buffer = AmfRef<Buffer>::adopt(new Buffer(std::move(packet.data)));
            buffer->SetProperty("OutputDataType", AmfVariant(packet.key ? 0 : 2));
            m_out.push_back(AmfRef<AMFData>::adopt(buffer.detach()));
        }
        return true;
    }
    FakeSoftwareEncoder m_sw;
    int m_width = 0, m_height = 0;
    int64_t m_pts = 0;
    int m_outputs = 0;
};

class TraceImpl : public AMFTrace
{
public:
    void Trace(const char* /*file*/, int /*line*/, AMF_TRACE_LEVEL level, const char* scope,
               const char* message) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& w : m_writers)
            w.second->Write(level, scope, message);
    }
    void RegisterWriter(const char* id, AMFTraceWriter* writer) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (writer)
            m_writers[id] = writer;
        else
            m_writers.erase(id);
    }
    const char* GetResultText(AMF_RESULT result) override
    {
        return result == AMF_FAIL ? "AMF_FAIL" : "AMF error";
    }

private:
    std::mutex m_mutex;
    std::map<std::string, AMFTraceWriter*> m_writers; // guarded by m_mutex
};

class Factory : public AMFFactory
{
public:
    AMF_RESULT CreateContext(AMFContext** context) override
    {
        if (fail("CreateContext"))
            return AMF_FAIL;
        *context = new Context();
        return AMF_OK;
    }
    AMF_RESULT CreateComponent(AMFContext* context, const char* id, AMFComponent** out) override
    {
        const std::string name(id);
        if (fail("CreateComponent:" + name))
            return AMF_FAIL;
        if (name == "AMFVideoConverter")
            *out = new Converter(context, name);
        else if (name == "AMFVideoEncoderVCE_AVC")
            *out = new Encoder(context, name);
        else
            return AMF_NOT_FOUND;
        return AMF_OK;
    }
    AMF_RESULT GetTrace(AMFTrace** trace) override
    {
        *trace = &m_trace;
        return AMF_OK;
    }
    AMF_RESULT GetDebug(AMFDebug**) override { return AMF_NOT_SUPPORTED; }

private:
    TraceImpl m_trace;
};

Factory g_factory;

} // namespace

extern "C" __attribute__((visibility("default"))) AMF_RESULT AMFInit(uint64_t version,
                                                                     AMFFactory** factory)
{
    ++g_knobs.loads;
    if (fail("AMFInit") || version > AMF_FULL_VERSION)
        return AMF_FAIL;
    *factory = &g_factory;
    return AMF_OK;
}

extern "C" __attribute__((visibility("default"))) AMF_RESULT AMFQueryVersion(uint64_t* version)
{
    *version = AMF_FULL_VERSION;
    return AMF_OK;
}

// Built without it, the fake stands for AMD's runtime under the same file name.
#ifndef FAKE_AMF_FOREIGN
extern "C" __attribute__((visibility("default"))) const int StrevoAmfInterfaceVersion =
    kInterfaceVersion;
#endif

extern "C" __attribute__((visibility("default"))) FakeAmfKnobs* fakeAmfKnobs()
{
    return &g_knobs;
}
