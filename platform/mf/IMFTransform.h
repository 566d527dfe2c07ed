#pragma once

#include "platform/mf/MFAttributes.h"
#include "platform/mf/MFMediaType.h"
#include "platform/mf/MFSample.h"

#include <memory>

// Output stream flags of GetOutputStreamInfo().
constexpr uint32_t MFT_OUTPUT_STREAM_PROVIDES_SAMPLES = 0x100;
constexpr uint32_t MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES = 0x200;

struct MFT_OUTPUT_STREAM_INFO
{
    uint32_t dwFlags = 0;
    uint32_t cbSize = 0; // bytes a caller-allocated output sample needs
    uint32_t cbAlignment = 0;
};

// One output stream's slot in ProcessOutput(): the caller's sample (when it allocates) or
// null, replaced by the transform's own when it provides samples.
struct MFT_OUTPUT_DATA_BUFFER
{
    uint32_t dwStreamID = 0;
    std::shared_ptr<MFSample> pSample;
    uint32_t dwStatus = 0;
};

enum MFT_MESSAGE_TYPE : uint32_t
{
    MFT_MESSAGE_COMMAND_FLUSH = 0,
    MFT_MESSAGE_COMMAND_DRAIN = 1,
    MFT_MESSAGE_NOTIFY_BEGIN_STREAMING = 0x10000000,
    MFT_MESSAGE_NOTIFY_END_STREAMING = 0x10000001,
    MFT_MESSAGE_NOTIFY_END_OF_STREAM = 0x10000002,
    MFT_MESSAGE_NOTIFY_START_OF_STREAM = 0x10000003,
};

// An encoder transform with one input and one output stream (id 0).
//
// Synchronous model: ProcessInput() takes a sample, ProcessOutput() gives the next coded one
// or MF_E_TRANSFORM_NEED_MORE_INPUT. Asynchronous model (the transform also implements
// IMFMediaEventGenerator, and its attributes carry MF_TRANSFORM_ASYNC): the client sets
// MF_TRANSFORM_ASYNC_UNLOCK, then calls ProcessInput() once per METransformNeedInput event and
// ProcessOutput() once per METransformHaveOutput event; a drain ends with
// METransformDrainComplete, after which input requests start again. The client calls from one
// thread at a time; an asynchronous transform may work and send events on its own threads.
// Destroying the last reference stops the transform (its threads are joined).
class IMFTransform
{
public:
    virtual ~IMFTransform() = default;
    virtual HRESULT GetAttributes(std::shared_ptr<MFAttributes>* attributes) = 0;
    virtual HRESULT GetOutputStreamInfo(uint32_t stream, MFT_OUTPUT_STREAM_INFO* info) = 0;
    virtual HRESULT SetInputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                                 uint32_t flags) = 0;
    virtual HRESULT SetOutputType(uint32_t stream, const std::shared_ptr<MFMediaType>& type,
                                  uint32_t flags) = 0;
    virtual HRESULT GetOutputCurrentType(uint32_t stream, std::shared_ptr<MFMediaType>* type) = 0;
    // MF_E_NO_MORE_TYPES past the last index.
    virtual HRESULT GetOutputAvailableType(uint32_t stream, uint32_t index,
                                           std::shared_ptr<MFMediaType>* type) = 0;
    virtual HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, uintptr_t param) = 0;
    virtual HRESULT ProcessInput(uint32_t stream, const std::shared_ptr<MFSample>& sample,
                                 uint32_t flags) = 0;
    virtual HRESULT ProcessOutput(uint32_t flags, uint32_t count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                  uint32_t* status) = 0;
};
