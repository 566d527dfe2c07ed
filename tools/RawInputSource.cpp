#include "tools/RawInputSource.h"

#include "common/PixelFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

RawInputSource::RawInputSource(std::FILE* stream, int format, int width, int height,
                               double frameRate)
    : m_stream(stream), m_format(format), m_width(width), m_height(height), m_frameRate(frameRate)
{
}

RawInputSource::~RawInputSource()
{
    if (m_map)
        munmap(m_map, m_mapSize);
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

    const int fd = fileno(m_stream);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const off_t start = lseek(fd, 0, SEEK_CUR);
        void* map = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED && start >= 0) {
            m_map = static_cast<unsigned char*>(map);
            m_mapSize = static_cast<size_t>(info.st_size);
            m_offset = m_released = static_cast<size_t>(start);
            madvise(m_map, m_mapSize, MADV_SEQUENTIAL);
        } else if (map != MAP_FAILED) {
            munmap(map, static_cast<size_t>(info.st_size));
        }
    }
    return true;
}

bool RawInputSource::readMapped(Chunk* chunk)
{
    const size_t size = m_frames[0].size();
    const size_t left = m_mapSize - m_offset;
    if (left < size) {
        if (left > 0)
            m_error = QStringLiteral("raw input: the stream ended inside a frame (%1 of %2 bytes)")
                          .arg(left)
                          .arg(size);
        return false;
    }
    // Unmap what the pipelines have long copied, so the process does not grow with the file.
    // The frame before the current one stays mapped: the host may reuse the last frame.
    constexpr size_t kRelease = 64u << 20;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (m_offset > size && m_offset - size - m_released >= kRelease) {
        const size_t end = (m_offset - size) / page * page;
        if (end > m_released) {
            madvise(m_map + m_released / page * page, end - m_released / page * page,
                    MADV_DONTNEED);
            m_released = end;
        }
    }
#ifdef MADV_POPULATE_READ
    // Map the next stretch of the file in one call rather than one page fault at a time.
    if (m_offset + size > m_populated && m_populated < m_mapSize) {
        const size_t from = std::max(m_populated, m_offset) / page * page;
        const size_t to = std::min(m_mapSize, from + std::max(kRelease / 2, 2 * size));
        madvise(m_map + from, to - from, MADV_POPULATE_READ); // a failure only costs faults
        m_populated = to;
    }
#endif
    *chunk = Chunk();
    chunk->video = m_map + m_offset;
    chunk->width = m_width;
    chunk->height = m_height;
    chunk->format = m_format;
    m_offset += size;
    return true;
}

bool RawInputSource::read(Chunk* chunk)
{
    if (m_map)
        return readMapped(chunk);
    std::vector<unsigned char>& frame = m_frames[m_next];
    size_t got = 0;
    while (got < frame.size()) {
        const size_t n = std::fread(frame.data() + got, 1, frame.size() - got, m_stream);
        if (n == 0) {
            // An interrupted read (Ctrl-C) ends the input like the end of the stream does.
            if (std::ferror(m_stream) && errno != EINTR)
                m_error = QStringLiteral("raw input: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno)));
            else if (got > 0 && std::feof(m_stream))
                m_error =
                    QStringLiteral("raw input: the stream ended inside a frame (%1 of %2 bytes)")
                        .arg(got)
                        .arg(frame.size());
            return false;
        }
        got += n;
    }
    m_next ^= 1;
    *chunk = Chunk();
    chunk->video = frame.data();
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
