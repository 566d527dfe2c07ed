#pragma once

#include "platform/mf/MFAttributes.h"
#include "platform/mf/MFMediaBuffer.h"

#include <memory>
#include <vector>

// One media sample: its buffers, presentation time and duration (100-ns units) and attributes
// (MFSampleExtension_CleanPoint, ...). Passed by reference from producer to consumer; one
// thread uses it at a time.
class MFSample : public MFAttributes
{
public:
    static std::shared_ptr<MFSample> create() { return std::make_shared<MFSample>(); }

    HRESULT AddBuffer(std::shared_ptr<MFMediaBuffer> buffer);
    // The sample's bytes in one buffer: its only buffer, or a new one joining all of them
    // (which then replaces them). E_UNEXPECTED for a sample without buffers.
    HRESULT ConvertToContiguousBuffer(std::shared_ptr<MFMediaBuffer>* buffer);
    uint32_t GetTotalLength() const;

    void SetSampleTime(int64_t time) { m_time = time; }
    int64_t GetSampleTime() const { return m_time; }
    void SetSampleDuration(int64_t duration) { m_duration = duration; }
    int64_t GetSampleDuration() const { return m_duration; }

private:
    std::vector<std::shared_ptr<MFMediaBuffer>> m_buffers;
    int64_t m_time = 0;
    int64_t m_duration = 0;
};
