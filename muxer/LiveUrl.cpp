#include "muxer/LiveUrl.h"

#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/Redact.h"
#include "muxer/ContainerTable.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

bool validPort(int port)
{
    return port >= 1 && port <= 65535;
}

bool isAddress(const QString& host)
{
    const QByteArray text = host.toLatin1();
    in6_addr address;
    return inet_pton(AF_INET, text.constData(), &address) == 1 ||
           inet_pton(AF_INET6, text.constData(), &address) == 1;
}

} // namespace

QString LiveUrl::scheme(const QString& url)
{
    return QUrl(url.trimmed()).scheme().toLower();
}

bool LiveUrl::isLiveScheme(const QString& scheme)
{
    static const QStringList schemes{QStringLiteral("rtmp"), QStringLiteral("rtmps"),
                                     QStringLiteral("rtsp"), QStringLiteral("srt"),
                                     QStringLiteral("tcp"),  QStringLiteral("udp")};
    return schemes.contains(scheme);
}

bool LiveUrl::check(const CodecModel::Streaming& streaming, QString* why)
{
    const auto fail = [&](const QString& reason) {
        if (why)
            *why = redactSecrets(reason, secrets(streaming));
        return false;
    };
    const QString text = streaming.url.trimmed();
    if (text.isEmpty())
        return fail(QStringLiteral("the live output has no URL"));
    const QUrl url(text, QUrl::StrictMode);
    const QString shown = redactSecrets(text, secrets(streaming));
    if (!url.isValid()) {
        // Qt's reason ends with the whole URL, secrets and all: keep only the reason.
        const QString reason = url.errorString().section(QStringLiteral("; source was"), 0, 0);
        return fail(QStringLiteral("malformed URL '%1': %2").arg(shown, reason));
    }
    const QString s = url.scheme().toLower();
    if (!isLiveScheme(s))
        return fail(QStringLiteral("URL '%1': unknown scheme '%2' (use rtmp, rtmps, rtsp, srt, "
                                   "tcp or udp)")
                        .arg(shown, s));
    if (url.host().isEmpty())
        return fail(QStringLiteral("URL '%1' names no host").arg(shown));
    if (url.port() != -1 && !validPort(url.port()))
        return fail(QStringLiteral("URL '%1': port %2 is out of range (1-65535)")
                        .arg(shown)
                        .arg(url.port()));
    if ((s == QLatin1String("tcp") || s == QLatin1String("udp")) && url.port() == -1)
        return fail(QStringLiteral("URL '%1' names no port").arg(shown));
    if (s != QLatin1String("srt"))
        return true;
    if (!validPort(streaming.srtPort))
        return fail(QStringLiteral("streaming.srtPort: %1 is out of range (1-65535)")
                        .arg(streaming.srtPort));
    if (streaming.srtMode == QLatin1String("listener") && !isAddress(url.host()))
        return fail(QStringLiteral("SRT listener host '%1' is not an IP address (a listener "
                                   "binds to an address such as 0.0.0.0 or ::, not a name)")
                        .arg(url.host()));
    // libsrt's own limits: refused there, the output would retry for ever.
    const int keyLength = streaming.srtKeyLength;
    if (keyLength != 0 && keyLength != 16 && keyLength != 24 && keyLength != 32)
        return fail(QStringLiteral("streaming.srtKeyLength: %1 is not 16, 24 or 32 (or 0, the "
                                   "default, 16)")
                        .arg(keyLength));
    const int length = streaming.srtPassphrase.toLocal8Bit().size();
    if (length > 0 && (length < 10 || length > 79))
        return fail(QStringLiteral("streaming.srtPassphrase: it has %1 characters; it needs 10 "
                                   "to 79")
                        .arg(length));
    return true;
}

bool LiveUrl::carries(const CodecPreset& preset, QString* why)
{
    const QString s = scheme(preset.streaming().url);
    const ContainerTable::Row* row = ContainerTable::forScheme(s);
    if (!row || !row->codecColumn)
        return true;
    const QString column = QLatin1String(row->codecColumn);
    const struct
    {
        bool enabled;
        const QString& name;
    } codecs[] = {{preset.videoCodec().enabled, preset.videoCodec().codecName},
                  {preset.audioCodec().enabled, preset.audioCodec().codecName}};
    for (const auto& codec : codecs) {
        const CodecTable::Entry* entry = CodecTable::find(codec.name);
        if (!codec.enabled || !entry || CodecTable::fits(*entry, column))
            continue;
        if (why)
            *why = QStringLiteral("%1 cannot go over %2: %3")
                       .arg(codec.name, s, QLatin1String(row->refusal));
        return false;
    }
    return true;
}

const char* LiveUrl::containerFor(const QString& scheme)
{
    const ContainerTable::Row* row = ContainerTable::forScheme(scheme);
    return row ? row->muxer : nullptr;
}

QString LiveUrl::build(const CodecModel::Streaming& streaming)
{
    QString text = streaming.url.trimmed();
    const QString s = scheme(text);
    if (s == QLatin1String("rtmp") || s == QLatin1String("rtmps")) {
        if (!streaming.streamKey.isEmpty()) {
            while (text.endsWith(QLatin1Char('/')))
                text.chop(1);
            text += QLatin1Char('/') + streaming.streamKey;
        }
        if (!streaming.authEnabled)
            return text;
        QUrl url(text);
        url.setUserName(streaming.userName);
        url.setPassword(streaming.password);
        url.setPort(url.port(s == QLatin1String("rtmps") ? 443 : 1935));
        return url.toString(QUrl::FullyEncoded);
    }
    if (s == QLatin1String("srt")) {
        const QUrl url(text);
        const int latency = streaming.srtLatency == 0 ? 1000 : streaming.srtLatency * 1000;
        const QString l = QString::number(latency);
        QString out = QStringLiteral("srt://%1:%2?mode=%3&transtype=live&latency=%4"
                                     "&rcvlatency=%4&peerlatency=%4")
                          .arg(url.host())
                          .arg(streaming.srtPort)
                          .arg(streaming.srtMode, l);
        if (!streaming.srtPassphrase.isEmpty())
            out += QStringLiteral("&passphrase=%1&pbkeylen=%2")
                       .arg(streaming.srtPassphrase)
                       .arg(streaming.srtKeyLength);
        if (streaming.srtMode == QLatin1String("caller") && !streaming.srtStreamId.isEmpty())
            out += QStringLiteral("&streamid=") + streaming.srtStreamId;
        return out;
    }
    return text;
}

QStringList LiveUrl::secrets(const CodecModel::Streaming& streaming)
{
    const QString text = streaming.url.trimmed();
    const QUrl url(text);
    QStringList list{streaming.streamKey,     streaming.userName, streaming.password,
                     streaming.srtPassphrase, url.userName(),     url.password()};
    const QString s = scheme(text);
    if (streaming.streamKey.isEmpty() &&
        (s == QLatin1String("rtmp") || s == QLatin1String("rtmps"))) {
        // The path as written, up to the query, the fragment or librtmp's options after a space.
        const int authority = text.indexOf(QLatin1String("://")) + 3;
        const int pathAt = text.indexOf(QLatin1Char('/'), authority);
        if (pathAt > 0) {
            QString path = text.mid(pathAt);
            for (const QChar end : {QLatin1Char('?'), QLatin1Char('#'), QLatin1Char(' ')})
                path = path.section(end, 0, 0);
            const QStringList segments = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
            if (segments.size() >= 2)
                list << segments.last() << QUrl::fromPercentEncoding(segments.last().toUtf8());
        }
    }
    list.removeAll(QString());
    list.removeDuplicates();
    return list;
}

QString LiveUrl::masked(const CodecModel::Streaming& streaming)
{
    return redactSecrets(build(streaming), secrets(streaming));
}

bool LiveUrl::adapts(const CodecPreset& preset)
{
    return preset.streaming().enabled && preset.streaming().adaptiveBitrate;
}

bool LiveUrl::checkAdaptive(const CodecPreset& preset, QString* why)
{
    const CodecModel::Streaming& streaming = preset.streaming();
    const CodecModel::VideoCodec& video = preset.videoCodec();
    QString reason;
    if (streaming.minBitrate < 0)
        reason = QStringLiteral("streaming.minBitrate: %1 is negative").arg(streaming.minBitrate);
    else if (streaming.minBitrate > video.bitrate)
        reason = QStringLiteral("streaming.minBitrate: %1 kbit/s is above videoCodec.bitrate "
                                "(%2 kbit/s)")
                     .arg(streaming.minBitrate)
                     .arg(video.bitrate);
    else if (adapts(preset)) {
        const CodecTable::Entry* entry = CodecTable::find(video.codecName);
        if (entry && !CodecTable::changesBitrate(*entry))
            reason = QStringLiteral("streaming.adaptiveBitrate: %1 cannot change its bit rate "
                                    "while it encodes (X264, H264, VP8 and VP9 can)")
                         .arg(video.codecName);
    }
    if (reason.isEmpty())
        return true;
    if (why)
        *why = reason;
    return false;
}

QString LiveUrl::shown(const CodecModel::Streaming& streaming)
{
    const QString text = streaming.url.trimmed();
    if (scheme(text) != QLatin1String("srt"))
        return masked(streaming);
    const QString host = QUrl(text).host();
    QStringList details{streaming.srtMode,
                        QStringLiteral("latency %1 ms").arg(streaming.srtLatency)};
    if (!streaming.srtPassphrase.isEmpty())
        details << QStringLiteral("AES-%1").arg(
            (streaming.srtKeyLength == 0 ? 16 : streaming.srtKeyLength) * 8);
    if (streaming.srtMode == QLatin1String("caller") && !streaming.srtStreamId.isEmpty())
        details << QStringLiteral("stream id '%1'").arg(streaming.srtStreamId);
    const QString address =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return redactSecrets(QStringLiteral("srt://%1:%2 (%3)")
                             .arg(address)
                             .arg(streaming.srtPort)
                             .arg(details.join(QStringLiteral(", "))),
                         secrets(streaming));
}

bool LiveUrl::usesOwnRtmp(const CodecPreset& preset)
{
    const CodecTable::Entry* video = CodecTable::find(preset.videoCodec().codecName);
    const QString s = scheme(preset.streaming().url);
    return preset.streaming().rtmpMode == 0 &&
           (s == QLatin1String("rtmp") || s == QLatin1String("rtmps")) && video &&
           video->kind == CodecTable::Kind::Video && video->avCodecId == AV_CODEC_ID_H264;
}

int LiveUrl::sendBufferBytes(const CodecPreset& preset)
{
    constexpr long long kSeconds = 2;
    constexpr long long kMinimum = 128 * 1024;
    long long kbits = preset.videoCodec().enabled ? preset.videoCodec().bitrate : 0;
    if (preset.audioCodec().enabled)
        kbits += preset.audioCodec().bitrate;
    // The kernel doubles what it is given, for its own bookkeeping of the queued data.
    const long long bytes = std::max(kMinimum, kbits * 1000 / 8 * kSeconds / 2);
    return static_cast<int>(std::min<long long>(bytes, 64 * 1024 * 1024));
}
