#include "tools/LiveWatch.h"

#include "encoder/IEncoder.h"
#include "muxer/IMuxerCallback.h"
#include "tools/JobMessages.h"
#include "tools/JobOutput.h"
#include "tools/ReportText.h"

LiveWatch::LiveWatch(JobMessages& messages, bool quiet) : m_messages(messages), m_quiet(quiet) {}

void LiveWatch::watch(const std::vector<std::unique_ptr<JobOutput>>& outputs)
{
    if (m_finishing)
        return;
    const auto now = Clock::now();
    for (auto& out : outputs) {
        if (!out->live || !out->encoder)
            continue;
        const int state = out->encoder->getSyncInfo().liveState.load();
        const bool live = state == static_cast<int>(LiveState::Live);
        // The library sets the reason before it reports the state, so read after the state it
        // is at least as recent.
        takeReason(*out);
        // A server may take the stream and drop it at once (a refused publish): the output
        // counts as live once the library counts live time.
        if (!out->wasLive && out->encoder->getSyncInfo().liveMs.load() > 0) {
            out->wasLive = true;
            if (!m_quiet)
                m_messages.say(
                    QStringLiteral("output %1: live at %2").arg(out->number).arg(out->maskedUrl));
        }
        if (state == out->liveState)
            continue;
        const int before = out->liveState;
        out->liveState = state;
        if (live) {
            out->liveSince = now;
        } else if (state == static_cast<int>(LiveState::Reconnecting) &&
                   before == static_cast<int>(LiveState::Live) && !m_quiet) {
            const QString why =
                ReportText::shortReason(out->liveReason, ReportText::kProgressReasonChars);
            m_messages.say(QStringLiteral("output %1: the connection to %2 broke%3; reconnecting")
                               .arg(out->number)
                               .arg(out->maskedUrl,
                                    why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
        }
    }
}

void LiveWatch::takeReason(JobOutput& out)
{
    const QString reason = out.encoder->liveReason();
    if (reason.isEmpty() || reason == out.rawLiveReason)
        return;
    out.rawLiveReason = reason;
    out.liveReason = m_messages.redact(reason);
}

void LiveWatch::account(JobOutput& out, Clock::time_point end)
{
    const AVSync& sync = out.encoder->getSyncInfo();
    out.reconnects = sync.liveReconnects.load();
    out.liveDropped = sync.liveDrops.load();
    takeReason(out);
    // The library's account, up to its last look at the link; a link still up when the job
    // ended kept the stream to the end, however short it was.
    out.liveMs = sync.liveMs.load();
    if (out.liveMs <= 0 && out.liveState == static_cast<int>(LiveState::Live))
        out.liveMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - out.liveSince).count();
    out.wasLive = out.liveMs > 0;
    out.link.rttMs = sync.linkRttMs.load();
    out.link.retransmitted = sync.linkRetransmitted.load();
    out.link.dropped = sync.linkDropped.load();
}
