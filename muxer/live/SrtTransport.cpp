#include "muxer/live/SrtTransport.h"

bool SrtTransport::open()
{
    if (m_srt.initialize(m_preset))
        return true;
    const QString& mode = m_preset.streaming().srtMode;
    m_error = mode == QLatin1String("listener")
                  ? QStringLiteral("no SRT caller connected")
                  : QStringLiteral("no SRT connection (the peer did not answer or refused it)");
    return false;
}

bool SrtTransport::write(const uint8_t* data, int size)
{
    // Source time 0: libsrt stamps each message with its own clock.
    if (m_srt.write(reinterpret_cast<const char*>(data), size, 0))
        return true;
    m_error = QStringLiteral("the SRT peer is gone");
    return false;
}

bool SrtTransport::linkStatistics(LinkStatistics* link)
{
    *link = m_srt.linkStatistics();
    return true;
}
