#include "muxer/RtmpOutput.h"

#include "base/LogRouting.h"
#include "common/Redact.h"
#include "common/StrevoLog.h"
#include "muxer/LiveUrl.h"

#include <QLoggingCategory>
#include <QStringList>
#include <QUrl>

#include <librtmp/amf.h>
#include <librtmp/log.h>
#include <librtmp/rtmp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <vector>

// librtmp's own messages: librtmp is asked for its warnings and errors only.
Q_LOGGING_CATEGORY(lcRtmp, "strevo.rtmp", QtWarningMsg)

namespace {

// The RtmpOutput call running on this thread, for librtmp's log lines: its last warning or
// error also goes to `said` (the server's reason for a refusal reaches the host only through
// them), and once `cut` is set (abort(), or the destructor closing the connection) its errors
// are debug lines: a send that fails because this side shut the socket down is no fault.
struct LibrtmpCall
{
    QByteArray* said;
    const std::atomic<bool>* cut;
};
thread_local const LibrtmpCall* t_call = nullptr;

class CallScope
{
public:
    CallScope(QByteArray* said, const std::atomic<bool>* cut)
        : m_call{said, cut}, m_previous(t_call)
    {
        said->clear();
        t_call = &m_call;
    }
    ~CallScope() { t_call = m_previous; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    const LibrtmpCall m_call;
    const LibrtmpCall* m_previous;
};

// librtmp's messages may quote the URL or the stream name: every line is masked with the
// secrets of the live outputs open now (LogRouting's registry). Its warnings are debug lines,
// as those of the other libraries underneath (base/LogRouting.h); a failure they explain is
// warned by RtmpOutput::fail() with librtmp's last word.
void rtmpLog(int level, const char* format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, args);
    const QByteArray line = LogRouting::masked(QByteArray(text).trimmed());
    if (line.isEmpty())
        return;
    if (t_call && level <= RTMP_LOGWARNING)
        *t_call->said = line;
    if (level <= RTMP_LOGERROR && !(t_call && t_call->cut->load()))
        qCCritical(lcRtmp, "%s", line.constData());
    else
        qCDebug(lcRtmp, "%s", line.constData());
}

// librtmp's log settings are process-wide; RTMP_Init also sets up the shared TLS context the
// first time it runs, so the first initialisation must not race.
std::mutex g_initMutex;

RTMP* newHandle()
{
    std::lock_guard<std::mutex> lock(g_initMutex);
    static bool logRouted = false;
    if (!logRouted) {
        RTMP_LogSetLevel(RTMP_LOGWARNING);
        RTMP_LogSetCallback(&rtmpLog);
        logRouted = true;
    }
    RTMP* r = RTMP_Alloc();
    if (r)
        RTMP_Init(r);
    return r;
}

// librtmp sends without MSG_NOSIGNAL: a send on a connection the peer (or abort()) has shut
// down raises SIGPIPE, which would end the host process. Blocks SIGPIPE for this thread while
// librtmp works and discards one that was raised meanwhile.
class SigpipeGuard
{
public:
    SigpipeGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    ~SigpipeGuard()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!m_wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{};
            while (sigtimedwait(&m_pipe, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_wasPending = false;
};

// A blocking call on the socket gives up after kIoTimeoutSeconds.
void setIoTimeouts(int fd)
{
    const timeval timeout{RtmpOutput::kIoTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

// `text` as a librtmp URL option value: spaces, backslashes, control characters and every
// byte outside ASCII written as "\XX".
QByteArray librtmpEscaped(const QString& text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == '\\' || byte >= 0x7f)
            out += '\\' + QByteArray::number(byte, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

// Tells the server that this side's chunks are `size` bytes from now on, and uses that size.
bool sendChunkSize(RTMP* r, int size)
{
    char buffer[RTMP_MAX_HEADER_SIZE + 4];
    RTMPPacket packet{};
    packet.m_nChannel = 0x02; // protocol control
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = RTMP_PACKET_TYPE_CHUNK_SIZE;
    packet.m_body = buffer + RTMP_MAX_HEADER_SIZE;
    packet.m_nBodySize = 4;
    AMF_EncodeInt32(packet.m_body, packet.m_body + 4, size);
    if (!RTMP_SendPacket(r, &packet, FALSE))
        return false;
    r->m_outChunkSize = size;
    return true;
}

// The code and description of an error status ("onStatus" with level "error", or "_error") in
// a command message, as "code: description"; empty for any other message.
QString errorStatus(const RTMPPacket* packet)
{
    if (packet->m_packetType != RTMP_PACKET_TYPE_INVOKE)
        return {};
    AMFObject command;
    if (AMF_Decode(&command, packet->m_body, int(packet->m_nBodySize), FALSE) < 0)
        return {};
    const auto text = [](AMFObjectProperty* p) {
        AVal value{};
        AMFProp_GetString(p, &value);
        return QString::fromUtf8(value.av_val ? value.av_val : "", value.av_len);
    };
    QString status;
    const QString method = text(AMF_GetProp(&command, nullptr, 0));
    AMFObject info;
    AMFProp_GetObject(AMF_GetProp(&command, nullptr, 3), &info);
    const auto name = [](const char* n) {
        return AVal{const_cast<char*>(n), static_cast<int>(std::strlen(n))};
    };
    AVal level = name("level"), code = name("code"), description = name("description");
    if (method == QLatin1String("_error") ||
        (method == QLatin1String("onStatus") &&
         text(AMF_GetProp(&info, &level, -1)) == QLatin1String("error"))) {
        status = text(AMF_GetProp(&info, &code, -1));
        const QString said = text(AMF_GetProp(&info, &description, -1));
        if (!said.isEmpty())
            status += (status.isEmpty() ? QString() : QStringLiteral(": ")) + said;
        if (status.isEmpty())
            status = QStringLiteral("an error without a code");
    }
    AMF_Reset(&command);
    // A server may quote the stream key back.
    return QString::fromUtf8(LogRouting::masked(status.simplified().toUtf8()));
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

void setReceiveTimeout(int fd, std::chrono::microseconds timeout)
{
    const auto us = std::max<long long>(timeout.count(), 1000);
    const timeval t{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
}

// Makes the next `count` bytes from the server wait in librtmp's read buffer, reading from the
// socket as needed, without taking them: RTMP_ReadPacket reads them next. False when the read
// fails or times out first; `hungUp` is set when the server closed the connection.
bool buffered(RTMP* r, int count, bool* hungUp)
{
    RTMPSockBuf* sb = &r->m_sb;
    while (sb->sb_size < count) {
        // RTMPSockBuf_Fill appends behind the bytes not yet taken and reads nothing once they
        // reach the buffer's end: move them to the front first.
        if (sb->sb_size > 0 && sb->sb_start != sb->sb_buf) {
            std::memmove(sb->sb_buf, sb->sb_start, static_cast<size_t>(sb->sb_size));
            sb->sb_start = sb->sb_buf;
        }
        sb->sb_timedout = FALSE;
        const int got = RTMPSockBuf_Fill(sb);
        if (got == 0 && !sb->sb_timedout)
            *hungUp = true;
        if (got <= 0)
            return false;
    }
    return true;
}

// Frees the body of a whole message, which RTMP_ReadPacket hands to the reader, when it goes.
class PacketBody
{
public:
    explicit PacketBody(RTMPPacket* packet) : m_packet(packet) {}
    ~PacketBody() { RTMPPacket_Free(m_packet); }
    PacketBody(const PacketBody&) = delete;
    PacketBody& operator=(const PacketBody&) = delete;

private:
    RTMPPacket* m_packet;
};

// The message types a publisher answers through librtmp; the server's audio, video, data and
// shared-object messages mean nothing to it and are dropped unread by librtmp.
bool answered(uint8_t type)
{
    switch (type) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE:
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT:
    case RTMP_PACKET_TYPE_CONTROL:
    case RTMP_PACKET_TYPE_SERVER_BW:
    case RTMP_PACKET_TYPE_CLIENT_BW:
    case RTMP_PACKET_TYPE_FLEX_MESSAGE:
    case RTMP_PACKET_TYPE_INVOKE:
        return true;
    default:
        return false;
    }
}

} // namespace

class RtmpOutput::SecretScope
{
public:
    explicit SecretScope(QStringList secrets) : m_secrets(std::move(secrets))
    {
        LogRouting::addSecrets(m_secrets);
    }
    ~SecretScope() { LogRouting::removeSecrets(m_secrets); }

private:
    QStringList m_secrets;
};

RtmpOutput::RtmpOutput() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RtmpOutput::~RtmpOutput()
{
    // Taken out first: abort() must not reach a descriptor or relay that is going away.
    std::unique_ptr<TlsRelay> tls;
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_watched.reset();
        tls = std::move(m_tls);
    }
    // RTMP_Close may still send to a connection that abort() or the server has cut: no fault
    // at this point, where a broken connection has been reported already.
    m_aborted.store(true);
    CallScope call(&m_librtmpSaid, &m_aborted);
    SigpipeGuard guard;
    m_packet.reset();
    m_rtmp.reset(); // closes the relay's plain end: the relay sends the rest and ends
    tls.reset();
    m_secretScope.reset();
}

void RtmpOutput::abort()
{
    m_aborted.store(true);
    if (m_wake) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake.get(), &one, sizeof(one));
    }
    std::lock_guard<std::mutex> lock(m_watchMutex);
    if (m_watched)
        ::shutdown(m_watched.get(), SHUT_RDWR);
    if (m_tls)
        m_tls->stop();
}

int RtmpOutput::serverSocket()
{
    std::lock_guard<std::mutex> lock(m_watchMutex);
    if (m_tls)
        return m_tls->serverSocket();
    return m_watched ? m_watched.get() : -1;
}

bool RtmpOutput::fail(const QString& step, QString detail)
{
    if (detail.isEmpty())
        detail = QString::fromUtf8(m_librtmpSaid);
    m_error = detail.isEmpty() ? step : step + QStringLiteral(": ") + detail;
    if (!m_aborted.load())
        qCWarning(lcStrevo, "RTMP: %s: %s%s%s", qPrintable(step), qPrintable(m_loggedUrl),
                  detail.isEmpty() ? "" : ": ", qPrintable(detail));
    return false;
}

void RtmpOutput::watchSocket(int fd)
{
    std::lock_guard<std::mutex> lock(m_watchMutex);
    m_watched.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    // abort() may have run before the socket was known.
    if (m_aborted.load() && m_watched)
        ::shutdown(m_watched.get(), SHUT_RDWR);
}

// Opens a TCP connection to host:port within kProbeTimeoutMs, or until abort(). Returns the
// connected, blocking socket with the I/O time-outs set, or -1.
int RtmpOutput::connectTcp(const QByteArray& host, int port, int sendBuffer)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return -1;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeTimeoutMs);
    for (const addrinfo* a = addresses.get(); a && !m_aborted.load(); a = a->ai_next) {
        UniqueFd fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd)
            continue;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS)
                continue;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waits[2] = {{fd.get(), POLLOUT, 0}, {m_wake.get(), POLLIN, 0}};
            int ready;
            do {
                ready = ::poll(waits, 2, std::max<int>(0, int(left.count())));
            } while (ready < 0 && errno == EINTR);
            int error = 0;
            socklen_t length = sizeof(error);
            if (ready <= 0 || !(waits[0].revents & (POLLOUT | POLLERR | POLLHUP)) ||
                ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
                continue;
        }
        const int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        setIoTimeouts(fd.get());
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        return fd.release();
    }
    return -1;
}

bool RtmpOutput::initialize(const CodecPreset& preset)
{
    const auto& streaming = preset.streaming();
    // A URL that ends in the key itself is used as it is.
    const QString url = streaming.streamKey.isEmpty()
                            ? streaming.url
                            : streaming.url + QLatin1Char('/') + streaming.streamKey;
    const QStringList secrets = LiveUrl::secrets(streaming);
    m_loggedUrl = redactSecrets(url, secrets);
    m_secretScope = std::make_unique<SecretScope>(secrets);
    CallScope call(&m_librtmpSaid, &m_aborted);
    const QUrl parsed(url);
    const QByteArray host = parsed.host(QUrl::FullyDecoded).toLocal8Bit();
    if (host.isEmpty())
        return fail(QStringLiteral("no server in the URL"));
    UniqueFd socket(connectTcp(host, parsed.port(1935), LiveUrl::sendBufferBytes(preset)));
    if (!socket)
        return fail(QStringLiteral("the server does not accept connections"));

    m_preset = preset;
    // The key goes to librtmp as an option, escaped as librtmp wants: in the URL itself a space
    // would end it (the rest read as options) and '%' or '\\' would be taken for escapes, so the
    // stream would go out under another name.
    m_url = streaming.streamKey.isEmpty()
                ? url.toUtf8()
                : streaming.url.toUtf8() + " playpath=" + librtmpEscaped(streaming.streamKey);
    m_rtmp.reset(newHandle());
    if (!m_rtmp || !RTMP_SetupURL(m_rtmp.get(), m_url.data()))
        return fail(QStringLiteral("librtmp does not take the URL"));
    RTMP_EnableWrite(m_rtmp.get());
    m_rtmp->Link.timeout = kIoTimeoutSeconds;

    SigpipeGuard guard;
    watchSocket(socket.get());
    if (m_rtmp->Link.protocol & RTMP_FEATURE_SSL) {
        {
            std::lock_guard<std::mutex> lock(m_watchMutex);
            m_tls = std::make_unique<TlsRelay>(socket.release());
            if (m_aborted.load())
                m_tls->stop();
        }
        TlsRelay::Trust trust;
        trust.verifyPeer = streaming.verifyPeer;
        trust.caFile = streaming.caFile;
        if (!trust.verifyPeer)
            qCWarning(lcStrevo, "rtmps: the certificate of %s is not checked (verifyPeer is off)",
                      host.constData());
        // Never downgraded to plain RTMP: a server that fails here gets nothing.
        if (!m_tls->start(host, kIoTimeoutSeconds, trust))
            return fail(QStringLiteral("TLS handshake failed"), m_tls->errorText());
        socket.reset(m_tls->takeClientSocket());
        setIoTimeouts(socket.get());
        watchSocket(socket.get());
        m_rtmp->Link.protocol &= ~RTMP_FEATURE_SSL;
    }
    // The connection made above replaces librtmp's own connect (RTMP_Connect0), which
    // abort() could not interrupt; librtmp now owns the socket.
    m_rtmp->m_sb.sb_socket = socket.release();
    m_rtmp->m_bSendCounter = 1;
    if (m_aborted.load() || !RTMP_Connect1(m_rtmp.get(), nullptr))
        return fail(QStringLiteral("the RTMP handshake or connect failed"));
    if (m_aborted.load() || !sendChunkSize(m_rtmp.get(), kOutChunkSize))
        return fail(QStringLiteral("the server did not accept the publish"));
    if (!awaitPublish())
        return false;
    m_packet.reset(static_cast<RTMPPacket*>(std::calloc(1, sizeof(RTMPPacket))));
    if (m_aborted.load() || !m_packet || !RTMP_IsConnected(m_rtmp.get()))
        return fail(QStringLiteral("the server closed the connection"));
    qCInfo(lcStrevo, "RTMP Connecting to %s", qPrintable(m_loggedUrl));
    return true;
}

bool RtmpOutput::write(const unsigned char* data, unsigned int size)
{
    if (m_aborted.load() || !m_packet) {
        // Cut off, or never set up: initialize() (or abort()) has said so already.
        m_error = QStringLiteral("the connection was cut");
        return false;
    }
    CallScope call(&m_librtmpSaid, &m_aborted);
    if (!RTMP_IsConnected(m_rtmp.get()))
        return fail(QStringLiteral("the server closed the connection"));
    SigpipeGuard guard;
    if (size > 0 && RTMP_Write(m_rtmp.get(), reinterpret_cast<const char*>(data), int(size)) <= 0) {
        const int error = errno;
        return fail(QStringLiteral("sending to the server failed"),
                    m_librtmpSaid.isEmpty() ? QString::fromUtf8(std::strerror(error)) : QString());
    }
    const bool heard = answerServer();
    if (m_aborted.load())
        return fail(QStringLiteral("the connection was cut"));
    if (!m_refusal.isEmpty())
        return fail(QStringLiteral("the server's data was refused"), m_refusal);
    if (m_hungUp || !RTMP_IsConnected(m_rtmp.get()))
        return fail(QStringLiteral("the server closed the connection"), m_serverStatus);
    if (!heard)
        return fail(QStringLiteral("reading from the server failed"));
    return true;
}

// Reads and answers the server messages (chunk size, window size, acknowledgements, status)
// that are waiting, without blocking when there are none. A message whose chunks have not all
// arrived stays with librtmp until a later call.
bool RtmpOutput::answerServer()
{
    RTMP* r = m_rtmp.get();
    // A few per call: enough to keep up with a server's control traffic, never a loop that
    // could keep the muxing thread from writing.
    for (int i = 0; i < 8 && RTMP_IsConnected(r); ++i) {
        if (r->m_sb.sb_size <= 0 && !readable(RTMP_Socket(r)))
            return true;
        if (!receiveChunk(m_packet.get()))
            return false;
    }
    return true;
}

bool RtmpOutput::awaitPublish()
{
    RTMP* r = m_rtmp.get();
    RtmpPacketPtr packet(static_cast<RTMPPacket*>(std::calloc(1, sizeof(RTMPPacket))));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kIoTimeoutSeconds);
    while (packet && !r->m_bPlaying && RTMP_IsConnected(r) && !m_aborted.load() &&
           m_serverStatus.isEmpty()) {
        // The whole set-up gets kIoTimeoutSeconds, not each read: a server that keeps talking
        // without taking the stream does not hold the attempt.
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return fail(QStringLiteral("the server did not accept the publish"),
                        QStringLiteral("no acceptance within %1 s").arg(kIoTimeoutSeconds));
        setReceiveTimeout(RTMP_Socket(r), left);
        if (!receiveChunk(packet.get())) {
            if (!m_refusal.isEmpty())
                return fail(QStringLiteral("the server's data was refused"), m_refusal);
            if (std::chrono::steady_clock::now() >= deadline)
                return fail(QStringLiteral("the server did not accept the publish"),
                            QStringLiteral("no acceptance within %1 s").arg(kIoTimeoutSeconds));
            break;
        }
    }
    // librtmp names a refusal it was told ("NetStream.Publish.BadName"); a server that just
    // hangs up leaves it nothing to say.
    if (!m_serverStatus.isEmpty())
        return fail(QStringLiteral("the server refused the publish"), m_serverStatus);
    if (m_aborted.load() || !packet || !r->m_bPlaying)
        return fail(QStringLiteral("the server did not accept the publish"),
                    m_hungUp ? QStringLiteral("it closed the connection") : QString());
    setReceiveTimeout(RTMP_Socket(r), std::chrono::seconds(kIoTimeoutSeconds));
    return true;
}

bool RtmpOutput::refuse(const QString& what)
{
    m_refusal = what;
    return false;
}

bool RtmpOutput::incomplete(int chunkStream) const
{
    const RTMP* r = m_rtmp.get();
    // The header librtmp keeps for a chunk stream holds the body of a message in progress.
    return chunkStream < r->m_channelsAllocatedIn && r->m_vecChannelsIn[chunkStream] &&
           r->m_vecChannelsIn[chunkStream]->m_body;
}

bool RtmpOutput::receiveChunk(RTMPPacket* packet)
{
    RTMP* r = m_rtmp.get();
    // The chunk's basic header (1 to 3 bytes: format and chunk stream id) and, for the first
    // chunk of a message (formats 0 and 1), the message header up to the length and type.
    if (!buffered(r, 1, &m_hungUp))
        return false;
    const auto first = static_cast<uint8_t>(r->m_sb.sb_start[0]);
    const int format = first >> 6;
    // Ids 2 to 63 fit in the first byte; 0 and 1 there announce one or two more bytes.
    const int idBytes = (first & 0x3f) < 2 ? (first & 0x3f) + 1 : 0;
    if (!buffered(r, 1 + idBytes + (format <= 1 ? 7 : 0), &m_hungUp))
        return false;
    const auto* h = reinterpret_cast<const uint8_t*>(r->m_sb.sb_start);
    const int id = idBytes == 0 ? first & 0x3f : 64 + h[1] + (idBytes == 2 ? h[2] << 8 : 0);
    const uint8_t* message = h + 1 + idBytes; // time stamp (3 bytes), length (3), type (1)

    const bool known =
        std::find(m_chunkStreams.begin(), m_chunkStreams.end(), id) != m_chunkStreams.end();
    if (!known && format >= 2)
        return refuse(
            QStringLiteral("a chunk on chunk stream %1, which has no message header").arg(id));
    if (!known && int(m_chunkStreams.size()) >= kMaxChunkStreams)
        return refuse(QStringLiteral("more than %1 chunk streams").arg(kMaxChunkStreams));
    if (format <= 1) {
        const uint32_t length = uint32_t(message[3]) << 16 | message[4] << 8 | message[5];
        if (length > uint32_t(kMaxMessageBytes))
            return refuse(QStringLiteral("a %1-byte message (at most %2 taken)")
                              .arg(length)
                              .arg(kMaxMessageBytes));
        // librtmp would drop the message in progress there and keep its memory.
        if (incomplete(id))
            return refuse(
                QStringLiteral("a new message on chunk stream %1 before the last one there ended")
                    .arg(id));
    }
    if (!known)
        m_chunkStreams.push_back(id);

    // A message in progress continues in the body librtmp keeps for its chunk stream (and frees
    // when it closes); any other gets a body of its own with this read.
    const bool continued = incomplete(id);
    *packet = RTMPPacket{};
    if (!RTMP_ReadPacket(r, packet)) {
        if (!continued)
            RTMPPacket_Free(packet);
        packet->m_body = nullptr;
        return false;
    }
    if (!RTMPPacket_IsReady(packet)) {
        int open = 0;
        for (const int stream : m_chunkStreams)
            open += incomplete(stream) ? 1 : 0;
        if (open > kMaxIncompleteMessages)
            return refuse(QStringLiteral("%1 incomplete messages at once (at most %2 taken)")
                              .arg(open)
                              .arg(kMaxIncompleteMessages));
        return true;
    }
    // The whole message is here; its body is the caller's until freed below.
    const PacketBody body(packet);
    if (packet->m_nBodySize == 0 || !answered(packet->m_packetType))
        return true;
    if (packet->m_packetType == RTMP_PACKET_TYPE_CHUNK_SIZE) {
        // The protocol's range: the top bit is reserved.
        const uint32_t size = packet->m_nBodySize >= 4 ? AMF_DecodeInt32(packet->m_body) : 0;
        if (size < 1 || size > 0x7fffffff)
            return refuse(QStringLiteral("a chunk size of %1 bytes (1 to %2 taken)")
                              .arg(size)
                              .arg(0x7fffffff));
    }
    const QString status = errorStatus(packet);
    if (!status.isEmpty())
        m_serverStatus = status;
    RTMP_ClientPacket(r, packet);
    return true;
}
