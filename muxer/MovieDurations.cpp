#include "muxer/MovieDurations.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

// The movie header of an empty-moov file is a few kB; anything larger is not one.
constexpr int64_t kMaxHeaderBytes = 1 << 20;

uint64_t readBig(const std::vector<unsigned char>& data, int64_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | data[static_cast<size_t>(at + i)];
    return v;
}

bool isContainer(const char* type)
{
    for (const char* c : {"moov", "trak", "mdia", "edts", "mvex"})
        if (std::memcmp(type, c, 4) == 0)
            return true;
    return false;
}

} // namespace

MovieDurations::~MovieDurations()
{
    close();
}

void MovieDurations::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool MovieDurations::locate(const QString& path)
{
    close();
    m_fields.clear();
    m_trackTimescales.clear();
    m_movieTimescale = 0;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<unsigned char> data(static_cast<size_t>(kMaxHeaderBytes));
    const ssize_t got = ::pread(fd, data.data(), data.size(), 0);
    if (got <= 0) {
        ::close(fd);
        return false;
    }
    data.resize(static_cast<size_t>(got));
    // The top level: find the movie box.
    for (int64_t at = 0; at + 8 <= got;) {
        int64_t size = static_cast<int64_t>(readBig(data, at, 4));
        int header = 8;
        if (size == 1 && at + 16 <= got) {
            size = static_cast<int64_t>(readBig(data, at + 8, 8));
            header = 16;
        }
        if (size < header)
            break;
        if (std::memcmp(&data[static_cast<size_t>(at + 4)], "moov", 4) == 0) {
            if (at + size <= got)
                parse(data, at + header, at + size, -1);
            break;
        }
        at += size;
    }
    const bool found = m_movieTimescale > 0 && !m_fields.empty() &&
                       std::all_of(m_trackTimescales.begin(), m_trackTimescales.end(),
                                   [](uint32_t t) { return t > 0; });
    if (!found) {
        m_fields.clear();
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void MovieDurations::parse(const std::vector<unsigned char>& data, int64_t begin, int64_t end,
                           int track)
{
    for (int64_t at = begin; at + 8 <= end;) {
        const int64_t size = static_cast<int64_t>(readBig(data, at, 4));
        if (size < 8 || at + size > end)
            return; // sizes of 0 and 1 do not occur inside the movie box
        const char* type = reinterpret_cast<const char*>(&data[static_cast<size_t>(at + 4)]);
        const int64_t p = at + 8; // the payload: version, flags, fields
        const int64_t payload = size - 8;
        const bool v1 = payload > 0 && data[static_cast<size_t>(p)] == 1;
        const int wide = v1 ? 8 : 4;
        if (isContainer(type)) {
            if (std::memcmp(type, "trak", 4) == 0) {
                m_trackTimescales.push_back(0);
                parse(data, p, at + size, static_cast<int>(m_trackTimescales.size()) - 1);
            } else {
                parse(data, p, at + size, track);
            }
        } else if (std::memcmp(type, "mvhd", 4) == 0 && payload >= 4 + 2 * wide + 4 + wide) {
            m_movieTimescale = static_cast<uint32_t>(readBig(data, p + 4 + 2 * wide, 4));
            m_fields.push_back(Field{p + 4 + 2 * wide + 4, wide, -1, true, 0});
        } else if (std::memcmp(type, "tkhd", 4) == 0 && track >= 0 &&
                   payload >= 4 + 2 * wide + 8 + wide) {
            m_fields.push_back(Field{p + 4 + 2 * wide + 8, wide, track, true, 0});
        } else if (std::memcmp(type, "mdhd", 4) == 0 && track >= 0 &&
                   payload >= 4 + 2 * wide + 4 + wide) {
            m_trackTimescales[static_cast<size_t>(track)] =
                static_cast<uint32_t>(readBig(data, p + 4 + 2 * wide, 4));
            m_fields.push_back(Field{p + 4 + 2 * wide + 4, wide, track, false, 0});
        } else if (std::memcmp(type, "mehd", 4) == 0 && payload >= 4 + wide) {
            m_fields.push_back(Field{p + 4, wide, -1, true, 0});
        } else if (std::memcmp(type, "elst", 4) == 0 && track >= 0 && payload >= 8) {
            // The segments that show media (media time -1 is an empty edit) last as long as
            // the track from their start on.
            const int64_t count = static_cast<int64_t>(readBig(data, p + 4, 4));
            for (int64_t i = 0; i < count && p + 8 + (i + 1) * (2 * wide + 4) <= at + size; ++i) {
                const int64_t entry = p + 8 + i * (2 * wide + 4);
                const int64_t mediaTime =
                    v1 ? static_cast<int64_t>(readBig(data, entry + 8, 8))
                       : static_cast<int32_t>(static_cast<uint32_t>(readBig(data, entry + 4, 4)));
                if (mediaTime >= 0)
                    m_fields.push_back(Field{entry, wide, track, true, mediaTime});
            }
        }
        at += size;
    }
}

bool MovieDurations::write(const std::vector<int64_t>& trackEnds)
{
    if (m_fd < 0)
        return true;
    const auto inMovieScale = [&](size_t track, int64_t value) {
        return av_rescale_rnd(value, m_movieTimescale, m_trackTimescales[track], AV_ROUND_UP);
    };
    int64_t movie = 0;
    for (size_t t = 0; t < trackEnds.size() && t < m_trackTimescales.size(); ++t)
        movie = std::max(movie, inMovieScale(t, trackEnds[t]));
    bool ok = true;
    for (const Field& f : m_fields) {
        const auto track = static_cast<size_t>(f.track);
        if (f.track >= 0 && (track >= trackEnds.size() || track >= m_trackTimescales.size()))
            continue;
        int64_t value = movie;
        if (f.track >= 0) {
            const int64_t length = std::max<int64_t>(trackEnds[track] - f.mediaTime, 0);
            value = f.movieScale ? inMovieScale(track, length) : length;
        }
        if (f.bytes == 4 && value > static_cast<int64_t>(UINT32_MAX))
            continue;
        unsigned char bytes[8];
        for (int i = 0; i < f.bytes; ++i)
            bytes[i] =
                static_cast<unsigned char>(static_cast<uint64_t>(value) >> (8 * (f.bytes - 1 - i)));
        ok = ::pwrite(m_fd, bytes, static_cast<size_t>(f.bytes), f.offset) == f.bytes && ok;
    }
    return ok;
}
