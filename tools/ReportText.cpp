#include "tools/ReportText.h"

#include "encoder/AVSync.h"
#include "muxer/IMuxerCallback.h"

#include <algorithm>

QString ReportText::size(long long bytes)
{
    if (bytes >= 1000LL * 1000 * 1000)
        return QString::number(bytes / 1e9, 'f', 2) + QStringLiteral(" GB");
    if (bytes >= 1000LL * 1000)
        return QString::number(bytes / 1e6, 'f', 2) + QStringLiteral(" MB");
    return QString::number(bytes / 1e3, 'f', 1) + QStringLiteral(" kB");
}

QString ReportText::rate(double kbps)
{
    if (kbps >= 1000.0)
        return QString::number(kbps / 1000.0, 'f', 2) + QStringLiteral(" Mbit/s");
    return QString::number(std::max(0.0, kbps), 'f', 0) + QStringLiteral(" kbit/s");
}

QString ReportText::time(double seconds)
{
    const long long ms = static_cast<long long>(std::max(0.0, seconds) * 1000.0 + 0.5);
    return QString::asprintf("%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                             ms / 1000 % 60, ms % 1000);
}

QString ReportText::link(const AVSync& sync)
{
    if (sync.linkPeers.load() <= 0)
        return QStringLiteral(" [no peer]");
    return QStringLiteral(" [peer, rtt %1 ms, retransmitted %2, dropped %3]")
        .arg(sync.linkRttMs.load(), 0, 'f', 1)
        .arg(sync.linkRetransmitted.load())
        .arg(sync.linkDropped.load());
}

const char* ReportText::liveState(int state)
{
    switch (static_cast<LiveState>(state)) {
    case LiveState::Connecting:
        return "connecting";
    case LiveState::Live:
        return "live";
    case LiveState::Reconnecting:
        return "reconnecting";
    case LiveState::Stopped:
        return "stopped";
    default:
        return "waiting";
    }
}

QString ReportText::shortReason(const QString& reason, int limit)
{
    const QString text = reason.simplified();
    return text.size() <= limit ? text : text.left(limit - 3) + QStringLiteral("...");
}
