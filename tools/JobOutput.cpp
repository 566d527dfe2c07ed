#include "tools/JobOutput.h"

#include "encoder/RefEncoder.h"

#include <algorithm>

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

int JobOutput::replayFailures()
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(replays.begin(), replays.end(),
                                          [](const ReplaySave& save) { return !save.ok; }));
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

QString JobOutput::stateWord(const strevo::OutputStats& stats, const QString& before) const
{
    if (stopped() && !live)
        return QStringLiteral("failed");
    if (stats.state == strevo::OutputState::Stopped && !before.isEmpty())
        return before;
    if (stats.state == strevo::OutputState::Starting)
        return QLatin1String(live ? "connecting" : "recording");
    return QLatin1String(strevo::outputStateName(stats.state));
}

QString JobOutput::reason(const strevo::OutputStats& stats) const
{
    return live && !liveReason.isEmpty() ? liveReason : stats.lastReason;
}

void JobOutput::videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                             unsigned char*, unsigned int)
{
    signalPacket();
}

void JobOutput::audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) {}

std::pair<long long, double>
JobOutput::slowest(const std::vector<std::unique_ptr<JobOutput>>& outputs)
{
    const bool anyRunning = std::any_of(outputs.begin(), outputs.end(),
                                        [](const auto& out) { return !out->stopped(); });
    long long frames = -1;
    double seconds = 0.0;
    for (const auto& out : outputs) {
        if (anyRunning && out->stopped())
            continue; // a failed output is marked, not counted
        const long long f =
            out->encoder ? static_cast<long long>(out->encoder->encodedVideo().frameCount.load())
                         : out->frames;
        const double s = f / out->preset.videoCodec().frameRate;
        if (frames < 0 || s < seconds) {
            frames = f;
            seconds = s;
        }
    }
    return {std::max(frames, 0LL), seconds};
}
