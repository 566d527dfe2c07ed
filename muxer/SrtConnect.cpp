#include "muxer/SrtConnect.h"

#include "base/LogRouting.h"

#include "muxer/SrtClient.h"
#include "muxer/SrtServer.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <sys/socket.h>

Q_LOGGING_CATEGORY(lcSrt, "strevo.srt", QtWarningMsg)

namespace {

// libsrt's own log, at warning level and above, goes to Qt's log instead of stderr, masked
// with the secrets of the live outputs open now.
void srtLog(void*, int level, const char*, int, const char*, const char* message)
{
    const QByteArray text = LogRouting::secretsMasked(QByteArray(message).trimmed());
    if (level <= LOG_ERR)
        qCWarning(lcSrt, "libsrt: %s", text.constData());
    else
        qCInfo(lcSrt, "libsrt: %s", text.constData());
}

void startLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        srt_startup();
        srt_setloglevel(LOG_WARNING);
        srt_setloghandler(nullptr, &srtLog);
        // libsrt's own teardown at exit may still log, after Qt's logging is gone.
        std::atexit([] {
            srt_setloglevel(LOG_CRIT);
            srt_setloghandler(nullptr, nullptr);
        });
    });
}

} // namespace

std::unique_ptr<SrtConnect> SrtConnect::create(int flags, ISrtCallback* callback)
{
    if (flags & Listener)
        return std::make_unique<SrtServer>(callback);
    return std::make_unique<SrtClient>(callback);
}

SrtConnect::SrtConnect(ISrtCallback* callback) : m_callback(callback)
{
    startLibrary();
}

SrtConnect::~SrtConnect() = default;

int SrtConnect::lastError()
{
    int osError = 0;
    const int error = srt_getlasterror(&osError);
    if (error == SRT_EASYNCSND || error == SRT_EASYNCRCV)
        return AVERROR(EAGAIN);
    return osError != 0 ? -osError : AVERROR_UNKNOWN;
}

QByteArray SrtConnect::errorText()
{
    return QByteArray(srt_getlasterror_str());
}

int SrtConnect::setNonBlocking(SRTSOCKET socket, bool on)
{
    const int blocking = on ? 0 : 1;
    if (srt_setsockopt(socket, 0, SRTO_SNDSYN, &blocking, sizeof(blocking)) < 0)
        return lastError();
    if (srt_setsockopt(socket, 0, SRTO_RCVSYN, &blocking, sizeof(blocking)) < 0)
        return lastError();
    return 0;
}

int SrtConnect::waitOnce(int epoll, SRTSOCKET socket, bool forWrite)
{
    int events = SRT_EPOLL_ERR | (forWrite ? SRT_EPOLL_OUT : SRT_EPOLL_IN);
    if (srt_epoll_add_usock(epoll, socket, &events) < 0)
        return lastError();
    SRTSOCKET ready = SRT_INVALID_SOCK;
    SRTSOCKET failed = SRT_INVALID_SOCK;
    int readyCount = 1;
    int failedCount = 1;
    // libsrt reports an error on both sets; the set of the other direction shows it.
    const int n = forWrite ? srt_epoll_wait(epoll, &failed, &failedCount, &ready, &readyCount,
                                            kWaitSliceMs, nullptr, nullptr, nullptr, nullptr)
                           : srt_epoll_wait(epoll, &ready, &readyCount, &failed, &failedCount,
                                            kWaitSliceMs, nullptr, nullptr, nullptr, nullptr);
    int result = 0;
    if (n > 0)
        result = failedCount > 0 ? AVERROR(EIO) : 0;
    else
        result = srt_getlasterror(nullptr) == SRT_ETIMEOUT ? AVERROR(EAGAIN) : lastError();
    if (srt_epoll_remove_usock(epoll, socket) < 0)
        return lastError();
    return result;
}

int SrtConnect::waitReady(int epoll, SRTSOCKET socket, bool forWrite) const
{
    for (;;) {
        if (isStopped())
            return AVERROR_EXIT;
        const int result = waitOnce(epoll, socket, forWrite);
        if (result != AVERROR(EAGAIN))
            return result;
    }
}

int SrtConnect::read(SRTSOCKET socket, char* buffer, int size, SRT_MSGCTRL* control)
{
    const int n = srt_recvmsg2(socket, buffer, size, control);
    // A failed receive is how a peer's leaving shows: the callers report it.
    if (n < 0)
        qCDebug(lcSrt, "SRT receive failed, socket %d, result %d, error %d.", socket, n,
                lastError());
    if (!m_statisticsClock.isValid() || m_statisticsClock.elapsed() > 500) {
        srt_bstats(socket, &m_statistics, 1);
        m_statisticsClock.start();
    }
    return n;
}

bool SrtConnect::setOptions(SRTSOCKET socket, bool sender, int latencyMs, const QString& streamId,
                            const QString& passphrase, int keyLength, const QString& packetFilter)
{
    auto setInt = [socket](SRT_SOCKOPT option, int value, const char* name) {
        if (srt_setsockflag(socket, option, &value, sizeof(value)) == 0)
            return true;
        qCWarning(lcSrt, "srt_setsockflag %s: %s", name, srt_getlasterror_str());
        return false;
    };
    auto setBytes = [socket](SRT_SOCKOPT option, const QByteArray& value, const char* name) {
        if (srt_setsockflag(socket, option, value.constData(), value.size()) == 0)
            return true;
        qCWarning(lcSrt, "srt_setsockflag %s: %s", name, srt_getlasterror_str());
        return false;
    };
    if (sender && !setInt(SRTO_SENDER, 1, "SRTO_SENDER"))
        return false;
    if (!setInt(SRTO_LATENCY, std::max(latencyMs, 1), "SRTO_LATENCY") ||
        !setInt(SRTO_LOSSMAXTTL, 0, "SRTO_LOSSMAXTTL") ||
        !setInt(SRTO_OHEADBW, 25, "SRTO_OHEADBW") ||
        !setInt(SRTO_PAYLOADSIZE, kPayloadSize, "SRTO_PAYLOADSIZE"))
        return false;
    // Live mode drops what is still unsent when the socket closes: give the end of a stream
    // a second to go out.
    const linger lingering{1, 1};
    if (srt_setsockflag(socket, SRTO_LINGER, &lingering, sizeof(lingering)) < 0) {
        qCWarning(lcSrt, "srt_setsockflag SRTO_LINGER: %s", srt_getlasterror_str());
        return false;
    }
    if (!streamId.isEmpty() && !setBytes(SRTO_STREAMID, streamId.toLocal8Bit(), "SRTO_STREAMID"))
        return false;
    if (!passphrase.isEmpty()) {
        if (!setInt(SRTO_PBKEYLEN, keyLength, "SRTO_PBKEYLEN"))
            return false;
        // libsrt's text names the option only, never the value.
        if (!setBytes(SRTO_PASSPHRASE, passphrase.toLocal8Bit(), "SRTO_PASSPHRASE"))
            return false;
    }
    if (packetFilter.contains(QLatin1String("fec"))) {
        // The text alone: libsrt parses the whole value, so trailing zeros would spoil it.
        const QByteArray text = packetFilter.toLocal8Bit();
        if (srt_setsockopt(socket, 0, SRTO_PACKETFILTER, text.constData(), text.size()) < 0) {
            qCWarning(lcSrt, "SRTO_PACKETFILTER: %s", srt_getlasterror_str());
            return false;
        }
    }
    return true;
}

bool SrtConnect::sendTo(SRTSOCKET socket, const char* data, int size, long long sourceTime)
{
    SRT_MSGCTRL control = srt_msgctrl_default;
    control.srctime = sourceTime;
    const int n = srt_sendmsg2(socket, data, size, &control);
    if (n == SRT_ERROR) {
        qCWarning(lcSrt, "srt_sendmsg2 failed: %s", srt_getlasterror_str());
        return false;
    }
    if (n != size) {
        qCWarning(lcSrt, "Failed sending all data");
        return false;
    }
    return true;
}

bool SrtConnect::addLink(SRTSOCKET socket, LinkStatistics& link)
{
    SRT_TRACEBSTATS stats{};
    if (socket == SRT_INVALID_SOCK || srt_getsockstate(socket) != SRTS_CONNECTED ||
        srt_bstats(socket, &stats, 0) < 0)
        return false;
    ++link.peers;
    link.rttMs = std::max(link.rttMs, stats.msRTT);
    link.retransmitted += stats.pktRetransTotal;
    link.dropped += stats.pktSndDropTotal;
    return true;
}

int SrtConnect::peerLatency(SRTSOCKET socket)
{
    int latency = 0;
    int size = sizeof(latency);
    if (socket == SRT_INVALID_SOCK ||
        srt_getsockflag(socket, SRTO_PEERLATENCY, &latency, &size) < 0)
        return 0;
    return latency;
}
