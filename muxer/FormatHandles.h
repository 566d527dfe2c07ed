#pragma once

#include "muxer/AvioWriter.h"

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

// Owning pointers for the libavformat objects of an output, each freed the way libavformat
// requires.
struct AVDictionaryFree
{
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
// An output context made with avformat_alloc_output_context2() (its I/O is not closed).
struct AVOutputContextFree
{
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
// A custom I/O context together with its buffer (libavformat may have swapped the buffer for
// one of its own; whatever it holds then is freed).
struct AVCustomIoFree
{
    void operator()(AVIOContext* c) const
    {
        av_freep(&c->buffer);
        avio_context_free(&c);
    }
};

using AVDictionaryPtr = std::unique_ptr<AVDictionary, AVDictionaryFree>;
using AVOutputContextPtr = std::unique_ptr<AVFormatContext, AVOutputContextFree>;
using AVCustomIoPtr = std::unique_ptr<AVIOContext, AVCustomIoFree>;

// A write-only I/O context with a buffer of `size` bytes over `write` (and `seek`, when given),
// both called with `opaque`; null when out of memory.
inline AVCustomIoPtr makeCustomIo(int size, void* opaque,
                                  int (*write)(void*, AvioWriter::WriteBuffer, int),
                                  int64_t (*seek)(void*, int64_t, int) = nullptr)
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(static_cast<size_t>(size)));
    if (!buffer)
        return nullptr;
    AVCustomIoPtr io(avio_alloc_context(buffer, size, 1, opaque, nullptr, write, seek));
    if (!io)
        av_free(buffer);
    return io;
}
