// strevo-cli streaming with credentials to nginx's RTMP module: the stream goes live and is
// recorded, and no form of the stream key or the password, in any case, reaches what
// strevo-cli prints, the library's own log (--verbose) and the JSON summary included, not even
// when they are ordinary words.

#include "CliRun.h"
#include "LiveServers.h"

namespace {

struct SecretCase
{
    const char* name;
    int rtmpMode; // 0: the library's own RTMP publisher (librtmp), 1: libavformat's
    const char* streamKey;
    const char* password;
};

void PrintTo(const SecretCase& c, std::ostream* os)
{
    *os << c.name;
}

using CliSecrets = ::testing::TestWithParam<SecretCase>;

} // namespace

TEST_P(CliSecrets, StreamsWithoutPrintingAnyFormOfTheKeyOrPassword)
{
    const SecretCase& c = GetParam();
    QTemporaryDir dir;
    live::NginxRtmp server;
    ASSERT_TRUE(server.start()) << qPrintable(server.log());
    const QJsonObject streaming{{"enabled", true},
                                {"url", server.url()},
                                {"streamKey", QString::fromUtf8(c.streamKey)},
                                {"rtmpMode", c.rtmpMode},
                                {"authEnabled", true},
                                {"userName", "bob"},
                                {"password", QString::fromUtf8(c.password)}};
    const QByteArray job =
        R"({"project": {"videoOutput": {"width": 640, "height": 360, "frameRate": 30}},
        "outputs": [{"videoCodec": {"keyframeInterval": 1}, "streaming": )" +
        QJsonDocument(streaming).toJson() + "}]}";
    const CliRun run = cli({writeFile(dir, "secret.json", job), "-d", "2", "--verbose", "--json"});
    ASSERT_TRUE(server.waitForStreamsEnded());
    server.stop();
    SCOPED_TRACE(run.r.err.constData());
    ASSERT_EQ(run.r.exitCode, 0);
    EXPECT_TRUE(run.r.err.contains("rtmp: live"));
    const QJsonObject live = run.output().value(QStringLiteral("live")).toObject();
    EXPECT_EQ(live.value(QStringLiteral("state")).toString(), QStringLiteral("live"));
    EXPECT_TRUE(live.value(QStringLiteral("everLive")).toBool());
    EXPECT_EQ(live.value(QStringLiteral("reconnects")).toInt(-1), 0);
    EXPECT_EQ(live.value(QStringLiteral("lastReason")).toString(QStringLiteral("?")), QString());
    EXPECT_EQ(live.value(QStringLiteral("url")).toString(),
              QStringLiteral("rtmp://***@127.0.0.1:%1/live/***").arg(server.port()));
    EXPECT_EQ(run.frames(), 60);
    ASSERT_EQ(server.recordings().size(), 1);
    EXPECT_GE(Probe::expectPlayable(server.recordings().front()).videoPackets.size(), 45);
    // The own publisher hands the key over whole, spaces and all.
    EXPECT_TRUE(c.rtmpMode != 0 || live::readFile(server.path(QStringLiteral("error.log")))
                                       .contains("name='" + QByteArray(c.streamKey) + "'"));
    // The library's own lines were shown, so the masking was put to work on them.
    EXPECT_TRUE(run.r.err.contains("[log] "));
    for (const char* secret : {c.streamKey, c.password})
        EXPECT_FALSE(showsSecret(run.r.err + run.r.out, QString::fromUtf8(secret))) << secret;
    // Secrets that are ordinary words are masked in other text too; the rest stays.
    EXPECT_TRUE(run.r.err.contains(" 640x360 at 30 fps"));
}

INSTANTIATE_TEST_SUITE_P(
    CliLive, CliSecrets,
    ::testing::Values(SecretCase{"OwnPublisher", 0, "k3y 50%off+\xc3\xa9", "p@ss w%rd"},
                      SecretCase{"Libavformat", 1, "k3y 50%off+\xc3\xa9", "p@ss w%rd"},
                      SecretCase{"WordsAsSecrets", 1, "test", "pattern"}),
    [](const auto& info) { return std::string(info.param.name); });
