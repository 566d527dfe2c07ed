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

// Sends 3 s of H.264 + AAC in FLV, as libavformat writes it, in the muxer's 4096-byte pieces
// (how a pipeline's stream reaches servers: LiveOutputTest).
bool publish(RtmpOutput& out)
{
    static const QByteArray flv =
        Probe::run("ffmpeg",
                   QStringLiteral("-v error -f lavfi -i testsrc=size=320x240:rate=25 -f "
                                  "lavfi -i sine=frequency=1000:sample_rate=48000 -t 3 "
                                  "-c:v libx264 -preset ultrafast -g 25 -c:a aac -f flv -")
                       .split(' '))
            .out;
    bool ok = !flv.isEmpty();
    for (int at = 0; ok && at < flv.size(); at += 4096)
        ok = out.write(reinterpret_cast<const unsigned char*>(flv.constData()) + at,
                       unsigned(std::min(4096, int(flv.size()) - at)));
    return ok;
}

// A server that answers with garbage (peers/rtmp_peer.py's `mode` and `garbage`): `said` is how
// the failure's reason begins; `seconds`, how soon the attempt must end.
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

// What librtmp takes from the server stays within RtmpOutput's limits: the first message past
// one ends the attempt at once (in initialize(), or in write() once live) with a warning naming
// it, and a server that keeps talking within the limits without taking the stream is cut off
// after the set-up time. The key is never logged.
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
    CodecPreset preset;
    preset.streaming().enabled = true;
    preset.streaming().url = peer.url();
    preset.streaming().streamKey = kKey;
    const bool initialized = out.initialize(preset);
    // Once live, the stream is sent until write() reads the garbage (a few rounds at most).
    bool published = initialized;
    for (int round = 0; published && round < 100; ++round)
        published = publish(out);
    finished.set_value();
    watchdog.join();
    EXPECT_EQ(initialized, QLatin1String(c.mode) == QLatin1String("garbage-live"));
    EXPECT_FALSE(published);
    EXPECT_LT(timer.elapsed(), c.seconds * 1000);
    EXPECT_TRUE(out.errorText().startsWith(QLatin1String(c.said))) << out.errorText().toStdString();
    const QString step = QString::fromUtf8(c.said).section(QStringLiteral(": "), 0, 0);
    EXPECT_EQ(capture.count(QStringLiteral("warning: RTMP: %1: %2/***: ").arg(step, peer.url())), 1)
        << capture.messages().join('\n').toStdString();
    EXPECT_EQ(capture.count(kKey), 0);
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
        GarbageCase{"NoHandshake", "noise", "mix", "the server's data was refused: "},
        GarbageCase{"AfterThePublish", "garbage-live", "huge-message",
                    "the server's data was refused: a 16777215-byte message (at most 16384 "
                    "taken)"},
        GarbageCase{"EndlessPings", "garbage", "pings",
                    "the server did not accept the publish: no acceptance within 10 s",
                    RtmpOutput::kIoTimeoutSeconds + 3}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
