#include "muxer/AvioWriter.h"

#include "common/StrevoLog.h"
#include "muxer/IWriter.h"

#include <QByteArray>
#include <QDebug>

extern "C" {
#include <libavutil/mem.h>
}

AvioWriter::AvioWriter(IWriter* writer)
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) {
        qCWarning(lcStrevo, "AvioWriter: cannot allocate a %d-byte I/O buffer", kBufferSize);
        return;
    }
    m_context = avio_alloc_context(buffer, kBufferSize, 1, writer, nullptr,
                                   &AvioWriter::writePacket, &AvioWriter::seekPacket);
    if (!m_context) {
        qCWarning(lcStrevo, "AvioWriter: cannot allocate the I/O context");
        av_free(buffer);
    }
}

AvioWriter::~AvioWriter()
{
    if (!m_context)
        return;
    // libavformat may have swapped the buffer for one of its own; free whatever it holds now.
    av_freep(&m_context->buffer);
    avio_context_free(&m_context);
}

int AvioWriter::writePacket(void* opaque, WriteBuffer buffer, int size)
{
    auto* writer = static_cast<IWriter*>(opaque);
    if (!writer || !writer->isOpen())
        return -1;
    // The bytes stay in libavformat's buffer; the writer copies what it keeps. A short write
    // (a full disk) fails the call, which libavformat reports on the next packet it writes.
    const long long written =
        writer->write(QByteArray::fromRawData(reinterpret_cast<const char*>(buffer), size));
    return written == size ? size : -1;
}

int64_t AvioWriter::seekPacket(void* opaque, int64_t offset, int whence)
{
    auto* writer = static_cast<IWriter*>(opaque);
    if (!writer)
        return -1;
    if (whence == AVSEEK_SIZE) {
        const long long size = writer->size();
        return size < 0 ? 0 : size;
    }
    if (!writer->seek(offset, whence))
        return -1;
    return writer->pos();
}
