#include "tools/RawInputSource.h"

#include "common/PixelFormat.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

RawInputSource::RawInputSource(int fd, int format, int width, int height, double frameRate)
    : m_fd(fd), m_format(format), m_width(width), m_height(height), m_frameRate(frameRate)
{
}

bool RawInputSource::open(QString* error)
{
    const int size = pixelFormatFrameSize(m_format, m_width, m_height);
    if (size <= 0) {
        *error = QStringLiteral("raw input: no frame layout for %1 at %2x%3")
                     .arg(QString::fromLatin1(pixelFormatName(m_format)))
                     .arg(m_width)
                     .arg(m_height);
        return false;
    }
    if (!(m_frameRate > 0.0)) {
        *error = QStringLiteral("raw input: the frame rate must be positive");
        return false;
    }
    m_frames[0].resize(static_cast<size_t>(size));
    m_frames[1].resize(static_cast<size_t>(size));
    return true;
}

bool RawInputSource::read(Chunk* chunk)
{
    std::vector<unsigned char>& frame = m_frames[m_next];
    unsigned char* const dest = m_target ? m_target : frame.data();
    m_target = nullptr;
    size_t got = 0;
    while (got < frame.size()) {
        const ssize_t n = ::read(m_fd, dest + got, frame.size() - got);
        if (n < 0 && errno == EINTR)
            return false; // Ctrl-C: the input ends here, like at the end of the stream
        if (n < 0) {
            m_error =
                QStringLiteral("raw input: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (n == 0) {
            if (got > 0)
                m_error =
                    QStringLiteral("raw input: the stream ended inside a frame (%1 of %2 bytes)")
                        .arg(got)
                        .arg(frame.size());
            return false;
        }
        got += static_cast<size_t>(n);
    }
    if (dest == frame.data())
        m_next ^= 1;
    *chunk = Chunk();
    chunk->video = dest;
    chunk->width = m_width;
    chunk->height = m_height;
    chunk->format = m_format;
    return true;
}

QString RawInputSource::describe() const
{
    return QStringLiteral("raw %1 frames %2x%3 at %4 fps from standard input")
        .arg(QString::fromLatin1(pixelFormatName(m_format)))
        .arg(m_width)
        .arg(m_height)
        .arg(m_frameRate);
}
