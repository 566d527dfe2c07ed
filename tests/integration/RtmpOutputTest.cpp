#include "muxer/RtmpOutput.h"
#include "../unit/MessageCapture.h"
#include "LiveServers.h"
#include "Probe.h"

#include <QElapsedTimer>
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
    MessageCapture capture;
    RtmpOutput second;
    {
        RtmpOutput out;
        ASSERT_TRUE(out.initialize(livePreset(url)));
        EXPECT_TRUE(publish(out));
    }
    ASSERT_TRUE(second.initialize(livePreset(url, QStringLiteral("other"))));
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

} // namespace
