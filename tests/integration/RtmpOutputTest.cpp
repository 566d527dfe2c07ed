#include "muxer/RtmpOutput.h"
#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"

#include <QElapsedTimer>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

const QString kKey = QStringLiteral("secretkey42");

CodecPreset livePreset(const QString& url, const QString& key = kKey)
{
    CodecPreset p;
    p.streaming().enabled = true;
    p.streaming().url = url;
    p.streaming().streamKey = key;
    return p;
}

// Three seconds of a test picture (H.264 from x264) and a tone (AAC), as libavformat's FLV
// muxer writes them.
const QByteArray& flvStream()
{
    static const QByteArray flv =
        Probe::run("ffmpeg",
                   QStringLiteral("-v error -f lavfi -i testsrc=size=320x240:rate=25 -f "
                                  "lavfi -i sine=frequency=1000:sample_rate=48000 -t 3 "
                                  "-c:v libx264 -preset ultrafast -g 25 -c:a aac -f flv -")
                       .split(' '))
            .out;
    return flv;
}

// Sends the FLV bytes in the 4096-byte pieces the muxer's I/O buffer hands over.
bool publish(RtmpOutput& out)
{
    const QByteArray& flv = flvStream();
    bool ok = !flv.isEmpty();
    for (int at = 0; ok && at < flv.size(); at += 4096)
        ok = out.write(reinterpret_cast<const unsigned char*>(flv.constData()) + at,
                       unsigned(std::min(4096, int(flv.size()) - at)));
    return ok;
}

using RtmpOutputPublish = ::testing::TestWithParam<bool>;

// What the server records from our publisher decodes, carries H.264 and AAC and starts with a
// key frame, over plain RTMP and over TLS; the stream key never reaches a log line. A server
// that goes away fails the next writes, without a SIGPIPE (which would end the process).
TEST_P(RtmpOutputPublish, ServerRecordsTheStream)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.log().toStdString();
    live::TlsFront front(nginx.port());
    if (GetParam()) {
        ASSERT_TRUE(front.start()) << front.log().toStdString();
    }
    const QString url = GetParam() ? front.url() : nginx.url();
    // The server's self-signed certificate is trusted as a private CA's would be.
    CodecPreset preset = livePreset(url);
    preset.streaming().caFile = front.certFile();
    CodecPreset other = livePreset(url, QStringLiteral("other"));
    other.streaming().caFile = front.certFile();
    MessageCapture capture;
    RtmpOutput second;
    {
        RtmpOutput out;
        ASSERT_TRUE(out.initialize(preset));
        EXPECT_TRUE(publish(out));
    }
    ASSERT_TRUE(second.initialize(other));
    EXPECT_TRUE(capture.contains(QStringLiteral("info: RTMP Connecting to %1/***").arg(url)));
    EXPECT_EQ(capture.count(kKey), 0) << capture.messages().join('\n').toStdString();

    EXPECT_TRUE(nginx.waitForStreamsEnded());
    nginx.stop();
    front.stop(); // else its buffers may take all of the second stream before it notices
    EXPECT_FALSE(publish(second));
    const QStringList files = nginx.recordings().filter(kKey);
    ASSERT_EQ(files.size(), 1) << nginx.log().toStdString();
    EXPECT_EQ(Probe::expectPlayable(files[0]).videoPackets.size(), 75);
}

INSTANTIATE_TEST_SUITE_P(RtmpOutput, RtmpOutputPublish, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Rtmps" : "Rtmp"; });

// rtmps checks the server's certificate: its chain must lead to an authority the output
// trusts (the system's, or those of streaming.caFile) and it must name the URL's host.
struct TrustCase
{
    const char* name;
    live::TlsFront::Cert cert;
    enum
    {
        SystemStore,
        TheCa,
        Unreadable
    } caFile;
    bool verifyPeer;
    const char* refusal; // what the warning says after the masked URL; null: accepted
};

std::ostream& operator<<(std::ostream& out, const TrustCase& c)
{
    return out << c.name;
}

using RtmpsTrust = ::testing::TestWithParam<TrustCase>;

// An accepted server records a stream that decodes. A refused one never takes the output live
// and sees nothing (nginx behind the TLS front is never connected, not even over plain RTMP);
// the warning gives the step, the URL with its key masked and the reason. verifyPeer off
// accepts any certificate, with a warning on every connect. The key is never logged.
TEST_P(RtmpsTrust, ServerIsCheckedBeforeTheStreamGoesLive)
{
    const TrustCase& c = GetParam();
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.log().toStdString();
    live::TlsFront front(nginx.port(), c.cert);
    ASSERT_TRUE(front.start()) << front.log().toStdString();
    CodecPreset preset = livePreset(front.url());
    preset.streaming().verifyPeer = c.verifyPeer;
    preset.streaming().caFile = c.caFile == TrustCase::TheCa ? front.caFile()
                                : c.caFile == TrustCase::Unreadable
                                    ? front.certFile() + QStringLiteral(".missing")
                                    : QString();
    const QString unchecked =
        QStringLiteral("warning: rtmps: the certificate of 127.0.0.1 is not checked "
                       "(verifyPeer is off)");
    MessageCapture capture;
    {
        RtmpOutput out;
        if (c.refusal) {
            EXPECT_FALSE(out.initialize(preset));
            EXPECT_FALSE(out.write(reinterpret_cast<const unsigned char*>("FLV"), 3));
            const QString warning =
                QStringLiteral("warning: RTMP: TLS handshake failed: %1/***: ").arg(front.url()) +
                QString::fromUtf8(c.refusal).replace(QStringLiteral("%1"),
                                                     preset.streaming().caFile);
            EXPECT_TRUE(capture.contains(warning)) << "expected " << warning.toStdString() << "\n"
                                                   << capture.messages().join('\n').toStdString();
        } else {
            ASSERT_TRUE(out.initialize(preset)) << capture.messages().join('\n').toStdString();
            EXPECT_TRUE(publish(out));
        }
    }
    EXPECT_EQ(capture.count(unchecked), c.verifyPeer ? 0 : 1);
    EXPECT_EQ(capture.count(kKey), 0) << capture.messages().join('\n').toStdString();

    if (!c.refusal) {
        EXPECT_TRUE(nginx.waitForStreamsEnded());
    }
    nginx.stop();
    front.stop();
    const QStringList files = nginx.recordings().filter(kKey);
    EXPECT_EQ(nginx.connections(), c.refusal ? 0 : 1);
    if (c.refusal) {
        EXPECT_TRUE(files.isEmpty());
        return;
    }
    ASSERT_EQ(files.size(), 1) << nginx.log().toStdString();
    EXPECT_EQ(Probe::expectPlayable(files[0]).videoPackets.size(), 75);
}

using Cert = live::TlsFront::Cert;
INSTANTIATE_TEST_SUITE_P(
    RtmpOutput, RtmpsTrust,
    ::testing::Values(
        TrustCase{"SelfSignedRefused", Cert::SelfSigned, TrustCase::SystemStore, true,
                  "certificate of 127.0.0.1 not trusted: The certificate issuer is unknown."},
        TrustCase{"PrivateCaTrustedThroughCaFile", Cert::CaSigned, TrustCase::TheCa, true, nullptr},
        TrustCase{"OtherHostRefused", Cert::OtherHost, TrustCase::TheCa, true,
                  "certificate of 127.0.0.1 not trusted: The name in the certificate does not "
                  "match the expected."},
        TrustCase{"ExpiredRefused", Cert::Expired, TrustCase::TheCa, true,
                  "certificate of 127.0.0.1 not trusted: The certificate chain uses expired "
                  "certificate."},
        // %1: the caFile named
        TrustCase{"UnreadableCaFileRefused", Cert::SelfSigned, TrustCase::Unreadable, true,
                  "CA file '%1' cannot be read: No such file or directory"},
        TrustCase{"AnyCertificateWithVerifyPeerOff", Cert::SelfSigned, TrustCase::SystemStore,
                  false, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Unreachable and hanging servers fail initialize() instead of blocking the connection
// thread; abort() ends a pending initialize() and makes every later call fail.
TEST(RtmpOutput, FailsOnDeadServersAndAbort)
{
    MessageCapture capture;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(RtmpOutput().initialize(
        livePreset(QStringLiteral("rtmp://127.0.0.1:%1/live").arg(live::freePort()))));
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(capture.count(QStringLiteral("rtmp://127.0.0.1")), 1);
    EXPECT_EQ(capture.count(kKey), 0);

    live::SilentServer silent;
    const auto hanging = [&](const char* scheme) {
        return livePreset(QStringLiteral("%1://127.0.0.1:%2/live").arg(scheme).arg(silent.port()));
    };
    for (const char* scheme : {"rtmp", "rtmps"}) {
        SCOPED_TRACE(scheme);
        RtmpOutput out;
        // Lets initialize() reach the handshake, which waits for the server.
        std::thread aborter([&out] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            out.abort();
        });
        timer.start();
        EXPECT_FALSE(out.initialize(hanging(scheme)));
        EXPECT_LT(timer.elapsed(), 2000);
        aborter.join();
        EXPECT_FALSE(out.write(reinterpret_cast<const unsigned char*>("FLV"), 3));
    }
    RtmpOutput aborted;
    aborted.abort();
    EXPECT_FALSE(aborted.initialize(hanging("rtmp")));
    // Nothing aborts: the handshake's I/O time-out ends it.
    timer.start();
    EXPECT_FALSE(RtmpOutput().initialize(hanging("rtmp")));
    EXPECT_LT(timer.elapsed(), (RtmpOutput::kIoTimeoutSeconds + 5) * 1000);
}

// A server that answers with garbage (tests/integration/peers/rtmp_peer.py): `mode` and
// `garbage` are the peer's; `said` is how the failure's reason begins (the step, and what the
// server did where the garbage is not random); `seconds`, how soon the attempt must end.
struct GarbageCase
{
    const char* name;
    const char* mode;
    const char* garbage;
    const char* said;
    int seconds = 5;
};

std::ostream& operator<<(std::ostream& out, const GarbageCase& c)
{
    return out << c.name;
}

using RtmpOutputGarbage = ::testing::TestWithParam<GarbageCase>;

// Whatever the server sends, what librtmp takes from it stays within RtmpOutput's limits: the
// first message past one ends the attempt at once (before the set-up, or in write() once
// live) with a warning that names it, and a server that keeps talking within the limits
// without taking the stream ends it after the set-up time. The key is never logged.
TEST_P(RtmpOutputGarbage, EndsTheAttemptNamingTheLimit)
{
    const GarbageCase& c = GetParam();
    live::ScriptedRtmpPeer peer(QLatin1String(c.mode), QLatin1String(c.garbage));
    ASSERT_TRUE(peer.start()) << peer.log().toStdString();
    MessageCapture capture;
    QElapsedTimer timer;
    timer.start();
    RtmpOutput out;
    // Should the output not give up by itself, the test ends it rather than hang.
    std::promise<void> finished;
    std::thread watchdog([&out, &c, over = finished.get_future()] {
        if (over.wait_for(std::chrono::seconds(c.seconds + 5)) == std::future_status::timeout)
            out.abort();
    });
    const bool afterPublish = QLatin1String(c.mode) == QLatin1String("garbage-live");
    const bool initialized = out.initialize(livePreset(peer.url()));
    // Once live, the garbage comes right after the acceptance: the stream is sent again and
    // again until write() reads it (a few rounds at most).
    bool published = initialized;
    for (int round = 0; published && round < 100; ++round)
        published = publish(out);
    finished.set_value();
    watchdog.join();
    EXPECT_EQ(initialized, afterPublish) << capture.messages().join('\n').toStdString();
    EXPECT_FALSE(published);
    EXPECT_LT(timer.elapsed(), c.seconds * 1000);
    EXPECT_TRUE(out.errorText().startsWith(QLatin1String(c.said))) << out.errorText().toStdString();
    const QString step = QString::fromUtf8(c.said).section(QStringLiteral(": "), 0, 0);
    EXPECT_EQ(capture.count(QStringLiteral("warning: RTMP: %1: %2/***: ").arg(step, peer.url())), 1)
        << capture.messages().join('\n').toStdString();
    EXPECT_EQ(capture.count(kKey), 0) << capture.messages().join('\n').toStdString();
    EXPECT_EQ(peer.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    RtmpOutput, RtmpOutputGarbage,
    ::testing::Values(
        GarbageCase{"HugeMessage", "garbage", "huge-message",
                    "the server's data was refused: a 16777215-byte message (at most 16384 "
                    "taken)"},
        // Nested AMF objects: librtmp's decoder would recurse once per level, past any stack.
        GarbageCase{"DeepCommand", "garbage", "deep-amf",
                    "the server's data was refused: a 1048000-byte message (at most 16384 taken)"},
        GarbageCase{"InvalidChunkSize", "garbage", "chunk-size",
                    "the server's data was refused: a chunk size of 4294967295 bytes (1 to "
                    "2147483647 taken)"},
        GarbageCase{"MessagesLeftIncomplete", "garbage", "pending",
                    "the server's data was refused: 9 incomplete messages at once (at most 8 "
                    "taken)"},
        GarbageCase{"ManyChunkStreams", "garbage", "streams",
                    "the server's data was refused: more than 64 chunk streams"},
        GarbageCase{"MessageBegunAgain", "garbage", "restart",
                    "the server's data was refused: a new message on chunk stream 3 before the "
                    "last one there ended"},
        GarbageCase{"ChunkWithoutHeader", "garbage", "orphan",
                    "the server's data was refused: a chunk on chunk stream 9, which has no "
                    "message header"},
        GarbageCase{"Mixed", "garbage", "mix", "the server's data was refused: "},
        GarbageCase{"NoHandshake", "noise", "mix", "the server's data was refused: "},
        GarbageCase{"AfterThePublish", "garbage-live", "huge-message",
                    "the server's data was refused: a 16777215-byte message (at most 16384 "
                    "taken)"},
        GarbageCase{"EndlessPings", "garbage", "pings",
                    "the server did not accept the publish: no acceptance within 10 s",
                    RtmpOutput::kIoTimeoutSeconds + 3}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
