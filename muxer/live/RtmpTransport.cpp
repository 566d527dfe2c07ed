#include "muxer/live/RtmpTransport.h"

#include "muxer/live/TcpProgress.h"

namespace {

constexpr int kFileHeaderSize = 13; // "FLV", version, flags, header size, first tag size
constexpr int kTagHeaderSize = 11;  // type, body size (24 bits), time stamp, stream id
constexpr int kTagTrailerSize = 4;  // the tag's size again

int tagSize(const char* tag)
{
    const auto* p = reinterpret_cast<const uint8_t*>(tag);
    return kTagHeaderSize + (p[1] << 16 | p[2] << 8 | p[3]) + kTagTrailerSize;
}

} // namespace

bool RtmpTransport::write(const uint8_t* data, int size)
{
    m_pending.append(reinterpret_cast<const char*>(data), size);
    int at = 0;
    if (!m_headerSeen) {
        if (m_pending.size() < kFileHeaderSize)
            return true;
        if (!m_pending.startsWith("FLV")) {
            m_error = QStringLiteral("the stream is not FLV");
            return false;
        }
        at = kFileHeaderSize;
        m_headerSeen = true;
    }
    while (m_pending.size() - at >= kTagHeaderSize) {
        const int tag = tagSize(m_pending.constData() + at);
        if (m_pending.size() - at < tag)
            break;
        if (!m_output.write(reinterpret_cast<const unsigned char*>(m_pending.constData() + at),
                            static_cast<unsigned int>(tag)))
            return false;
        at += tag;
    }
    m_pending.remove(0, at);
    return true;
}

QString RtmpTransport::errorText() const
{
    return m_error.isEmpty() ? m_output.errorText() : m_error;
}

SendProgress RtmpTransport::progress()
{
    return TcpProgress::of(m_output.serverSocket());
}
