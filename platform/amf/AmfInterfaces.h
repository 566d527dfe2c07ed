#pragma once

// The runtime interface of the AMF layer: the objects and calls that AmfEncoder and
// DownloadAmf use of an AMF runtime, and that a runtime library loaded by name
// ("libamfrt64.so.1", entry points AMFInit and AMFQueryVersion) implements.
//
// This interface is the project's own. It follows the shape of AMD's Advanced Media Framework
// (factory, context, components, surfaces, buffers, properties, trace) but it is NOT binary
// compatible with a vendor runtime: names, slot order, string types and interface ids are ours.
// A vendor AMF runtime cannot be loaded through it: the layer refuses a library of that file
// name that lacks this interface's marker (kInterfaceVersionSymbol below). On Linux, AMD
// hardware encoding reaches users through the VA-API transform of the Media Foundation layer
// instead.
//
// Reference counting: every object returned through an out-pointer comes with one reference
// that the caller owns (AmfRef holds it); a pointer passed in is borrowed for the call.
// Threads: a component's input side (submitInput, drain, flush) and its output side
// (queryOutput) may be driven from two threads at once; everything else is one thread at a time.

#include <cstddef>
#include <cstdint>

namespace amf {

enum AMF_RESULT : int
{
    AMF_OK = 0,
    AMF_FAIL = 1,
    AMF_UNEXPECTED = 2,
    AMF_INVALID_ARG = 4,
    AMF_OUT_OF_MEMORY = 6,
    AMF_INVALID_POINTER = 7,
    AMF_NO_INTERFACE = 8,
    AMF_NOT_SUPPORTED = 10,
    AMF_NOT_FOUND = 11,
    AMF_NOT_INITIALIZED = 13,
    AMF_INVALID_FORMAT = 14,
    AMF_WRONG_STATE = 15,
    AMF_DIRECTX_FAILED = 18,
    AMF_EOF = 23,
    AMF_REPEAT = 24,     // nothing to hand out yet: ask again later
    AMF_INPUT_FULL = 25, // the component holds as much input as it takes: submit again later
};

// 1.4.6.0 in the runtime's packing (16 bits per part).
constexpr uint64_t AMF_FULL_VERSION = 0x0001000400060000ull;

enum AMF_MEMORY_TYPE : int
{
    AMF_MEMORY_UNKNOWN = 0,
    AMF_MEMORY_HOST = 1,
    AMF_MEMORY_DX11 = 3,
};

enum AMF_SURFACE_FORMAT : int
{
    AMF_SURFACE_UNKNOWN = 0,
    AMF_SURFACE_NV12 = 1,
    AMF_SURFACE_RGBA = 5,
};

enum AMF_DX_VERSION : int
{
    AMF_DX11_0 = 110,
};

enum AMF_TRACE_LEVEL : int
{
    AMF_TRACE_ERROR = 0,
    AMF_TRACE_WARNING = 1,
    AMF_TRACE_INFO = 2,
    AMF_TRACE_DEBUG = 3,
};

// Values of the encoder's "OutputDataType" buffer property.
enum AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE : int
{
    AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE_IDR = 0,
    AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE_I = 1,
    AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE_P = 2,
    AMF_VIDEO_ENCODER_OUTPUT_DATA_TYPE_B = 3,
};

// Values of the "ForcePictureType" surface property, read by the encoder.
enum AMF_VIDEO_ENCODER_PICTURE_TYPE : int
{
    AMF_VIDEO_ENCODER_PICTURE_TYPE_NONE = 0,
    AMF_VIDEO_ENCODER_PICTURE_TYPE_SKIP = 1,
    AMF_VIDEO_ENCODER_PICTURE_TYPE_IDR = 2,
};

enum AMF_VIDEO_ENCODER_QUALITY_PRESET : int
{
    AMF_VIDEO_ENCODER_QUALITY_PRESET_BALANCED = 0,
    AMF_VIDEO_ENCODER_QUALITY_PRESET_SPEED = 1,
    AMF_VIDEO_ENCODER_QUALITY_PRESET_QUALITY = 2,
};

constexpr int AMF_VIDEO_ENCODER_RATE_CONTROL_METHOD_CBR = 1;

// Interface ids for queryInterface.
enum class AmfIid : int
{
    Interface,
    PropertyStorage,
    Data,
    Buffer,
    Surface,
};

struct AMFSize
{
    int32_t width;
    int32_t height;
};

struct AMFRate
{
    uint32_t num;
    uint32_t den;
};

struct AMFInterface;

// A property value as it crosses the interface. An interface value holds one reference owned
// by whoever holds the variant (AmfVariant in AmfVariant.h manages it).
struct AMFVariantStruct
{
    enum Type : int
    {
        Empty,
        Bool,
        Int64,
        Double,
        Size,
        Rate,
        Interface,
    };
    Type type;
    union {
        bool boolValue;
        int64_t int64Value;
        double doubleValue;
        AMFSize sizeValue;
        AMFRate rateValue;
        AMFInterface* interfaceValue;
    };
};

struct AMFInterface
{
    virtual long Acquire() = 0;
    virtual long Release() = 0;
    // On AMF_OK *out holds a new reference to the object seen as `iid`.
    virtual AMF_RESULT QueryInterface(AmfIid iid, void** out) = 0;

protected:
    ~AMFInterface() = default; // objects go away through Release
};

struct AMFPropertyStorage : AMFInterface
{
    // The value is copied (an interface value gains a reference). AMF_NOT_FOUND from a component
    // for a name it does not know.
    virtual AMF_RESULT SetProperty(const char* name, const AMFVariantStruct& value) = 0;
    // *value must be Empty on entry; on AMF_OK it holds a copy the caller owns.
    virtual AMF_RESULT GetProperty(const char* name, AMFVariantStruct* value) = 0;
};

// Surfaces and buffers.
struct AMFData : AMFPropertyStorage
{
    virtual AMF_MEMORY_TYPE GetMemoryType() = 0;
    // Moves the contents to memory of another type, in place.
    virtual AMF_RESULT Convert(AMF_MEMORY_TYPE type) = 0;
};

struct AMFBuffer : AMFData
{
    virtual size_t GetSize() = 0;
    virtual void* GetNative() = 0;
};

// One plane of a surface. For host memory `native` is the first byte; for DX11 memory it is the
// surface's D3D11Texture2D (all planes of an NV12 surface share one texture).
struct AMFPlane
{
    void* native;
    int32_t width;  // in pixels of the plane
    int32_t height; // rows
    int32_t hPitch; // bytes from one row to the next
    int32_t pixelSize;
};

struct AMFSurface : AMFData
{
    virtual AMF_SURFACE_FORMAT GetFormat() = 0;
    virtual int GetPlanesCount() = 0;
    // AMF_INVALID_ARG for an index past the last plane.
    virtual AMF_RESULT GetPlaneAt(int index, AMFPlane* plane) = 0;
};

struct AMFContext : AMFPropertyStorage
{
    virtual AMF_RESULT Terminate() = 0;
    // Attaches a Direct3D 11 device (a D3D11Device of platform/D3D11Device.h), needed for
    // surfaces in DX11 memory.
    virtual AMF_RESULT InitDX11(void* device, AMF_DX_VERSION version) = 0;
    virtual void* GetDX11Device() = 0;
    virtual AMF_RESULT AllocSurface(AMF_MEMORY_TYPE type, AMF_SURFACE_FORMAT format, int32_t width,
                                    int32_t height, AMFSurface** surface) = 0;
};

// Told by a component whenever new output may be waiting, on whatever thread produced it.
// It must return quickly and must not call back into the component.
struct AMFComponentObserver
{
    virtual void OnOutputReady() = 0;

protected:
    ~AMFComponentObserver() = default;
};

struct AMFComponent : AMFPropertyStorage
{
    virtual AMF_RESULT Init(AMF_SURFACE_FORMAT format, int32_t width, int32_t height) = 0;
    virtual AMF_RESULT Terminate() = 0;
    // End of input: what the component holds comes out, then queryOutput answers AMF_EOF.
    virtual AMF_RESULT Drain() = 0;
    // Forgets held input and output and leaves the end-of-stream state: the next input starts a
    // new stream.
    virtual AMF_RESULT Flush() = 0;
    virtual AMF_RESULT SubmitInput(AMFData* data) = 0;
    // AMF_OK with *data set (one reference), AMF_REPEAT when nothing is ready, AMF_EOF after a
    // drain once everything came out.
    virtual AMF_RESULT QueryOutput(AMFData** data) = 0;
    // Null removes it. The observer must outlive its registration.
    virtual AMF_RESULT SetOutputObserver(AMFComponentObserver* observer) = 0;
};

// Receives the trace records of the runtime and of its users.
struct AMFTraceWriter
{
    virtual void Write(AMF_TRACE_LEVEL level, const char* scope, const char* message) = 0;

protected:
    ~AMFTraceWriter() = default;
};

struct AMFTrace
{
    virtual void Trace(const char* file, int line, AMF_TRACE_LEVEL level, const char* scope,
                       const char* message) = 0;
    // A writer registered under `id` replaces an earlier one of that id; null removes it.
    virtual void RegisterWriter(const char* id, AMFTraceWriter* writer) = 0;
    virtual const char* GetResultText(AMF_RESULT result) = 0;

protected:
    ~AMFTrace() = default; // owned by the runtime
};

struct AMFDebug
{
    virtual void EnablePerformanceMonitor(bool enable) = 0;

protected:
    ~AMFDebug() = default; // owned by the runtime
};

struct AMFFactory
{
    virtual AMF_RESULT CreateContext(AMFContext** context) = 0;
    virtual AMF_RESULT CreateComponent(AMFContext* context, const char* id,
                                       AMFComponent** component) = 0;
    virtual AMF_RESULT GetTrace(AMFTrace** trace) = 0;
    virtual AMF_RESULT GetDebug(AMFDebug** debug) = 0;

protected:
    ~AMFFactory() = default; // owned by the runtime, valid until it is unloaded
};

// Entry points of the runtime library.
using AMFInit_Fn = AMF_RESULT (*)(uint64_t version, AMFFactory** factory);
using AMFQueryVersion_Fn = AMF_RESULT (*)(uint64_t* version);

// A runtime built for this interface also exports `extern "C" const int` of this name holding
// kInterfaceVersion. AMD's own runtime has the same file name and entry points but another
// binary interface: without the marker the library is not used.
constexpr const char* kInterfaceVersionSymbol = "StrevoAmfInterfaceVersion";
constexpr int kInterfaceVersion = 1;

} // namespace amf
