#pragma once

#include "platform/AutoResetEvent.h"

#include "platform/Guid.h" // before the NVENC header: one GUID type
#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <memory>

// One picture in flight: the bitstream buffer NVENC writes into, its completion event, and the
// input resource NVENC reads from.
struct NvEncodeBuffer
{
    struct Output
    {
        NV_ENC_OUTPUT_PTR bitstream = nullptr; // 2 MiB, from nvEncCreateBitstreamBuffer
        std::unique_ptr<AutoResetEvent> event; // registered with the session, or null
        bool waitOnEvent = false;              // fetching waits on the event first
        bool endOfStream = false;              // only in the end-of-stream record
    } output;
    struct Input
    {
        void* resource = nullptr; // what was registered: surface, texture or device pointer
        uint32_t pitch = 0;
        NV_ENC_REGISTERED_PTR registered = nullptr;
        NV_ENC_INPUT_PTR mapped = nullptr; // null while not mapped
        NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_NV12;
        uint32_t width = 0, height = 0;
    } input;
    // Set once NVENC accepted the picture: only such a buffer is ever waited on or locked (the
    // event of a picture that was never submitted would never be signalled).
    bool submitted = false;
};

// The first N buffers of an array as a ring: pictures are taken from the free side in order and
// collected from the pending side oldest first. Not thread-safe: the encoding thread only.
class NvBufferRing
{
public:
    void reset(NvEncodeBuffer* buffers, uint32_t count)
    {
        m_buffers = buffers;
        m_count = count;
        m_pending = m_nextFree = m_oldest = 0;
    }
    // The next free buffer, now counted pending; null when all are pending.
    NvEncodeBuffer* takeFree()
    {
        if (m_pending == m_count)
            return nullptr;
        NvEncodeBuffer* b = &m_buffers[m_nextFree];
        m_nextFree = (m_nextFree + 1) % m_count;
        ++m_pending;
        return b;
    }
    // The oldest pending buffer, now counted free; null when none is pending.
    NvEncodeBuffer* takeOldest()
    {
        if (m_pending == 0)
            return nullptr;
        NvEncodeBuffer* b = &m_buffers[m_oldest];
        m_oldest = (m_oldest + 1) % m_count;
        --m_pending;
        return b;
    }
    // Returns the buffer that the last takeFree() gave (its picture never reached NVENC) to the
    // free side, so that it is neither waited on nor skipped.
    void untakeFree()
    {
        m_nextFree = (m_nextFree + m_count - 1) % m_count;
        --m_pending;
    }
    uint32_t pending() const { return m_pending; }
    uint32_t count() const { return m_count; }

private:
    NvEncodeBuffer* m_buffers = nullptr;
    uint32_t m_count = 0;
    uint32_t m_pending = 0;
    uint32_t m_nextFree = 0;
    uint32_t m_oldest = 0;
};
