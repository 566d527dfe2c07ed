#include "tools/JobOutput.h"

#include "encoder/RefEncoder.h"

namespace {

// Longest wait for an output's next packet; it also bounds how late a stop request is seen.
constexpr auto kPacketWait = std::chrono::milliseconds(5);

} // namespace

bool JobOutput::follows() const
{
    return sharing && sharing->isFollower();
}

void JobOutput::signalPacket()
{
    // Taking the mutex orders this signal after a waiter's check of the counters.
    {
        std::lock_guard<std::mutex> lock(m_packetMutex);
    }
    m_packetDone.notify_one();
}

void JobOutput::waitPacket()
{
    std::unique_lock<std::mutex> lock(m_packetMutex);
    m_packetDone.wait_for(lock, kPacketWait);
}

QStringList JobOutput::currentPaths()
{
    std::lock_guard<std::mutex> lock(mutex);
    return paths;
}

QString JobOutput::title() const
{
    const auto& v = preset.videoCodec();
    const auto& a = preset.audioCodec();
    QString text = QStringLiteral("%1, %2 %3x%4 %5 kbit/s")
                       .arg(preset.container().format, v.codecName)
                       .arg(v.width)
                       .arg(v.height)
                       .arg(v.bitrate);
    if (a.enabled)
        text += QStringLiteral(" + %1 %2 kbit/s").arg(a.codecName).arg(a.bitrate);
    return text;
}

void JobOutput::videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                             unsigned char*, unsigned int)
{
    signalPacket();
}

void JobOutput::audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) {}
