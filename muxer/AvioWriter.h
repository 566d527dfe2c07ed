#pragma once

#include <cstdint>

extern "C" {
#include <libavformat/avio.h>
#include <libavformat/version.h>
}

class IWriter;

// The libavformat I/O context of a local recording: owns an AVIOContext (and its buffer) whose
// write and seek callbacks go to an IWriter. There is no read callback.
//
// The writer is not owned and must outlive this object. The destructor frees the context
// without flushing it; write the trailer (or call avio_flush) first. One thread at a time.
class AvioWriter
{
public:
    static constexpr int kBufferSize = 32768;

    // `context()` is null when the allocation failed.
    explicit AvioWriter(IWriter* writer);
    ~AvioWriter();
    AvioWriter(const AvioWriter&) = delete;
    AvioWriter& operator=(const AvioWriter&) = delete;

    AVIOContext* context() const { return m_context; }

#if LIBAVFORMAT_VERSION_MAJOR >= 61
    using WriteBuffer = const uint8_t*;
#else
    using WriteBuffer = uint8_t*;
#endif
    // The context's callbacks; `opaque` is the IWriter.
    // `size`, or -1 when the writer is not open or took fewer bytes (a full disk).
    static int writePacket(void* opaque, WriteBuffer buffer, int size);
    // AVSEEK_SIZE: the writer's size (0 when negative); otherwise the new position, or -1 when
    // the writer refuses the seek (any whence but 0, 1, 2, including flag combinations).
    static int64_t seekPacket(void* opaque, int64_t offset, int whence);

private:
    AVIOContext* m_context = nullptr;
};
