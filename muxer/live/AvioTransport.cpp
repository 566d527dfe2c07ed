#include "muxer/live/AvioTransport.h"

#include "common/AVHandles.h"
#include "common/StrevoLog.h"
#include "muxer/LiveUrl.h"
#include "muxer/TlsRelay.h"

#include <QDebug>
#include <QUrl>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

extern "C" {
#include <libavformat/avformat.h>
}

AvioTransport::AvioTransport(const CodecPreset& preset, AVIOInterruptCB interrupt)
    : m_preset(preset), m_interrupt(interrupt)
{
    const char* container = LiveUrl::containerFor(LiveUrl::scheme(preset.streaming().url));
    const AVOutputFormat* format =
        container ? av_guess_format(container, nullptr, nullptr) : nullptr;
    m_containerConnects = format && (format->flags & AVFMT_NOFILE);
}

AvioTransport::~AvioTransport()
{
    if (m_io)
        avio_closep(&m_io);
}

bool AvioTransport::open()
{
    if (m_aborted.load()) {
        m_error = QStringLiteral("stopped");
        return false;
    }
    if (m_containerConnects)
        return true;
    // A small send buffer (TCP-based protocols take it, others ignore it): a server that stops
    // reading then blocks the writes within seconds.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "send_buffer_size", LiveUrl::sendBufferBytes(m_preset), 0);
    // rtmps: libavformat's TLS layer checks the server's chain and host name as the library's
    // own publisher does (the system's trusted authorities, or caFile).
    const CodecModel::Streaming& streaming = m_preset.streaming();
    if (LiveUrl::scheme(streaming.url) == QLatin1String("rtmps")) {
        if (streaming.verifyPeer) {
            av_dict_set(&options, "tls_verify", "1", 0);
            if (!streaming.caFile.isEmpty())
                av_dict_set(&options, "ca_file", streaming.caFile.toUtf8().constData(), 0);
        } else {
            qCWarning(lcStrevo, "rtmps: the certificate of %s is not checked (verifyPeer is off)",
                      qPrintable(QUrl(streaming.url).host()));
        }
    }
    const QByteArray url = LiveUrl::build(streaming).toLocal8Bit();
    const int result = avio_open2(&m_io, url.constData(), AVIO_FLAG_WRITE, &m_interrupt, &options);
    av_dict_free(&options);
    if (result < 0) {
        m_io = nullptr;
        const QString refusal = LiveUrl::scheme(streaming.url) == QLatin1String("rtmps") &&
                                        streaming.verifyPeer && !m_aborted.load()
                                    ? certificateRefusal()
                                    : QString();
        m_error = refusal.isEmpty() ? QStringLiteral("could not open the connection: ") +
                                          QString::fromUtf8(avErrorText(result))
                                    : QStringLiteral("TLS handshake failed: ") + refusal;
        return false;
    }
    return true;
}

// libavformat's TLS layer reports a refused certificate only as an I/O error (its reason goes
// to its log): the library's own handshake, with the same trust, names it. A few seconds at
// most, and only after a failed open; empty when that handshake passes (the failure had
// another cause) or cannot be made.
QString AvioTransport::certificateRefusal() const
{
    constexpr int kSeconds = 3;
    const QUrl url(LiveUrl::build(m_preset.streaming()));
    const QByteArray host = url.host(QUrl::FullyDecoded).toLocal8Bit();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.isEmpty() ||
        ::getaddrinfo(host.constData(), QByteArray::number(url.port(443)), &hints, &found) != 0)
        return QString();
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    const timeval timeout{kSeconds, 0};
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd)
            continue;
        // Bounds the connect too.
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0)
            continue;
        TlsRelay relay(fd.release());
        TlsRelay::Trust trust;
        trust.caFile = m_preset.streaming().caFile;
        return relay.start(host, kSeconds, trust) ? QString() : relay.errorText();
    }
    return QString();
}

int AvioTransport::pieceSize() const
{
    // Datagram protocols take a packet per write: fill each.
    return m_io && m_io->max_packet_size > 0 ? m_io->max_packet_size : 4096;
}

bool AvioTransport::write(const uint8_t* data, int size)
{
    if (!m_io || m_aborted.load()) {
        m_error = QStringLiteral("the connection was cut");
        return false;
    }
    avio_write(m_io, data, size);
    avio_flush(m_io);
    if (m_io->error < 0) {
        m_error = QStringLiteral("sending failed: ") + QString::fromUtf8(avErrorText(m_io->error));
        return false;
    }
    return true;
}
