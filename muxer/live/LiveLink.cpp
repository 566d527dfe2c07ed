#include "muxer/live/LiveLink.h"

#include "common/StrevoLog.h"
#include "common/ThreadCallback.h"
#include "muxer/LiveUrl.h"
#include "muxer/live/AvioTransport.h"
#include "muxer/live/RtmpTransport.h"
#include "muxer/live/SrtTransport.h"

#include <QDebug>
#include <chrono>

namespace {

long long msBetween(ReopenPolicy::Clock::time_point from, ReopenPolicy::Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

} // namespace

LiveLink::LiveLink(Container* container, const CodecPreset& preset, QString maskedUrl)
    : m_container(container), m_preset(preset), m_url(std::move(maskedUrl))
{
}

LiveLink::~LiveLink()
{
    abort();
    m_thread.reset();
}

long long LiveLink::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LiveLink::start()
{
    m_thread = std::make_unique<ThreadCallback>(static_cast<IThreadCallback*>(this));
    m_thread->start(QThread::InheritPriority);
}

std::unique_ptr<ILiveTransport> LiveLink::makeTransport()
{
    const QString scheme = LiveUrl::scheme(m_preset.streaming().url);
    if (scheme == QLatin1String("srt"))
        return std::make_unique<SrtTransport>(m_preset);
    if (LiveUrl::usesOwnRtmp(m_preset))
        return std::make_unique<RtmpTransport>(m_preset);
    return std::make_unique<AvioTransport>(m_preset,
                                           AVIOInterruptCB{&LiveLink::interruptCheck, this});
}

void LiveLink::requestReopen(const QString& reason)
{
    {
        std::lock_guard<std::mutex> lock(m_reasonMutex);
        if (m_reason.isEmpty())
            m_reason = reason;
    }
    m_connected.store(false);
    m_reopenWanted.store(true);
    if (!m_connecting.load()) {
        // A write blocked on the broken link holds the container: cut it off.
        std::lock_guard<std::mutex> lock(m_transportMutex);
        if (m_transport)
            m_transport->abort();
    }
    if (m_thread)
        m_thread->wakeThread();
}

void LiveLink::abort()
{
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        m_aborted.store(true);
        if (m_transport)
            m_transport->abort();
    }
    if (m_thread)
        m_thread->wakeThread();
}

QString LiveLink::takeReason()
{
    std::lock_guard<std::mutex> lock(m_reasonMutex);
    QString reason;
    reason.swap(m_reason);
    return reason;
}

bool LiveLink::write(const uint8_t* data, int size)
{
    // The transport is not replaced while a container is open on it (see the class comment).
    ILiveTransport* transport = m_transport.get();
    if (!transport || m_aborted.load())
        return false;
    if (!transport->write(data, size)) {
        if (!m_aborted.load())
            requestReopen(transport->errorText());
        return false;
    }
    LinkStatistics link;
    const long long now = nowMs();
    std::lock_guard<std::mutex> lock(m_statsMutex);
    if (now - m_linkSampledMs >= 1000 && transport->linkStatistics(&link)) {
        m_link = link;
        m_linkFresh = true;
        m_linkSampledMs = now;
    }
    return true;
}

bool LiveLink::takeLinkStatistics(LinkStatistics* link)
{
    std::lock_guard<std::mutex> lock(m_statsMutex);
    if (!m_linkFresh)
        return false;
    *link = m_link;
    m_linkFresh = false;
    return true;
}

void LiveLink::ioBegin()
{
    m_ioStartMs.store(nowMs());
}

void LiveLink::ioEnd()
{
    m_ioStartMs.store(0);
}

int LiveLink::interruptCheck(void* opaque)
{
    auto* self = static_cast<LiveLink*>(opaque);
    // A call that blocks while the link is to be reopened (a backlog) gives up at once.
    if (self->m_aborted.load() ||
        (!self->m_connecting.load() && self->m_reopenWanted.load() && !self->m_connected.load()))
        return 1;
    const long long started = self->m_ioStartMs.load();
    if (started == 0 || nowMs() - started <= kStallMs)
        return 0;
    if (self->m_connecting.load()) {
        std::lock_guard<std::mutex> lock(self->m_reasonMutex);
        if (self->m_reason.isEmpty())
            self->m_reason =
                QStringLiteral("the server did not answer for %1 s").arg(kStallMs / 1000);
    } else {
        self->requestReopen(
            QStringLiteral("the server took nothing for %1 s").arg(kStallMs / 1000));
    }
    return 1;
}

void LiveLink::report(LiveState state)
{
    m_state = state;
    m_container->reportLink(state, m_reconnects, m_liveMs, m_lastReason);
}

void LiveLink::threadCallback()
{
    ThreadCallback* thread = m_thread.get();
    report(LiveState::Connecting);
    for (;;) {
        // Every attempt waits its turn, whatever ended the last one.
        for (auto left = m_policy.nextAttempt() - ReopenPolicy::Clock::now();
             left > ReopenPolicy::Clock::duration::zero() && !thread->isExitThread() &&
             !m_aborted.load();
             left = m_policy.nextAttempt() - ReopenPolicy::Clock::now())
            thread->waitThread(static_cast<unsigned long>(
                std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        if (thread->isExitThread() || m_aborted.load())
            return;

        if (!attempt()) {
            const auto now = ReopenPolicy::Clock::now();
            m_policy.failed(now);
            closeLink();
            if (thread->isExitThread() || m_aborted.load())
                return;
            qCWarning(lcStrevo, "live output to '%s': %s; trying again in %lld ms",
                      qPrintable(m_url), qPrintable(m_lastReason),
                      msBetween(now, m_policy.nextAttempt()));
            report(m_state);
            continue;
        }
        m_policy.opened(ReopenPolicy::Clock::now());
        m_lastAcked = -1;
        m_progressMs = nowMs();
        qCInfo(lcStrevo, "live output to '%s' connected", qPrintable(m_url));
        report(LiveState::Live);

        while (!m_reopenWanted.load() && !thread->isExitThread() && !m_aborted.load()) {
            thread->waitThread(kWatchMs);
            watch();
        }
        if (thread->isExitThread() || m_aborted.load())
            return; // finish() accounts for the open link

        const auto now = ReopenPolicy::Clock::now();
        const auto openedAt = m_policy.openedAt();
        const bool wasLive = m_policy.broke(now);
        const QString reason = takeReason();
        m_lastReason = reason.isEmpty() ? QStringLiteral("the link broke") : reason;
        if (wasLive) {
            ++m_reconnects;
            m_liveMs += msBetween(openedAt, now);
            qCWarning(lcStrevo, "live output to '%s' broke after %lld s: %s; reconnecting",
                      qPrintable(m_url), msBetween(openedAt, now) / 1000, qPrintable(m_lastReason));
        } else {
            // A server that takes the connection and then refuses the stream: paced like a
            // refusal, and never live.
            qCWarning(lcStrevo,
                      "live output to '%s' broke within %lld s of opening: %s; trying again in "
                      "%lld ms",
                      qPrintable(m_url),
                      static_cast<long long>(ReopenPolicy::kSettled.count() / 1000),
                      qPrintable(m_lastReason), msBetween(now, m_policy.nextAttempt()));
        }
        closeLink();
        report(m_reconnects > 0 || m_liveMs > 0 ? LiveState::Reconnecting : LiveState::Connecting);
    }
}

bool LiveLink::attempt()
{
    std::unique_ptr<ILiveTransport> transport = makeTransport();
    ILiveTransport* raw = transport.get();
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        if (m_aborted.load())
            return false;
        m_transport = std::move(transport);
    }
    takeReason(); // a break of the old link is history now
    m_connecting.store(true);
    m_reopenWanted.store(false);
    QString reason;
    ioBegin();
    bool ok = raw->open() && m_container->openContainer(raw, &reason);
    ioEnd();
    if (!ok) {
        // The link's own verdict (a time limit) explains the transport's.
        const QString linkReason = takeReason();
        if (!linkReason.isEmpty())
            reason = linkReason;
        else if (reason.isEmpty())
            reason = raw->errorText();
    }
    if (ok && m_reopenWanted.load()) {
        ok = false; // the header went out, but the link broke meanwhile
        reason = takeReason();
    }
    if (ok)
        m_connected.store(true);
    m_connecting.store(false);
    if (!ok)
        m_lastReason = reason.isEmpty() ? QStringLiteral("the attempt failed") : reason;
    return ok;
}

void LiveLink::closeLink()
{
    m_connected.store(false);
    m_container->closeContainer();
    std::unique_ptr<ILiveTransport> old;
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        old = std::move(m_transport);
    }
    old.reset(); // may join threads (SRT): not under the lock abort() takes
    m_reopenWanted.store(false);
}

void LiveLink::watch()
{
    if (!m_connected.load())
        return;
    const auto now = ReopenPolicy::Clock::now();
    if (m_policy.settled(now)) {
        // Held long enough to count as live: the host sees the time grow from now on, so that
        // a host reading it after stopping the pipeline (before the output is closed) is at
        // most one look behind.
        m_container->reportLink(LiveState::Live, m_reconnects,
                                m_liveMs + msBetween(m_policy.openedAt(), now), m_lastReason);
    }
    const long long ms = nowMs();
    const long long started = m_ioStartMs.load();
    if (started != 0 && ms - started > kStallMs) {
        requestReopen(
            QStringLiteral("a write to the server blocked for %1 s").arg(kStallMs / 1000));
        return;
    }
    SendProgress progress;
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        if (m_transport)
            progress = m_transport->progress();
    }
    m_container->linkWatched(progress);
    if (progress.acknowledged < 0)
        return; // the transport cannot tell; a blocked write still shows above
    if (progress.acknowledged != m_lastAcked || progress.waiting == 0) {
        m_lastAcked = progress.acknowledged;
        m_progressMs = ms;
    } else if (ms - m_progressMs > kStallMs) {
        requestReopen(QStringLiteral("the server acknowledged nothing for %1 s (%2 bytes waiting)")
                          .arg(kStallMs / 1000)
                          .arg(progress.waiting));
    }
}

void LiveLink::beginStop()
{
    if (m_thread)
        m_thread->requestExit();
    if (!m_connected.load())
        abort(); // a pending connect is cut off at once
}

void LiveLink::joinThread()
{
    m_thread.reset();
}

void LiveLink::finish(bool clean)
{
    joinThread();
    const auto now = ReopenPolicy::Clock::now();
    if (m_policy.isOpen()) {
        // Open when the output stopped: live until now, however short.
        m_liveMs += msBetween(m_policy.openedAt(), now);
        m_policy.broke(now);
    }
    std::unique_ptr<ILiveTransport> transport;
    {
        std::lock_guard<std::mutex> lock(m_transportMutex);
        transport = std::move(m_transport);
    }
    if (transport && clean && !m_aborted.load())
        transport->finish();
    m_connected.store(false);
    transport.reset();
    report(LiveState::Stopped);
}
