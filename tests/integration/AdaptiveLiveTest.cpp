// A live output that adapts its bit rate to its link, against a real server behind a relay
// that carries about half of the stream.

#include "CliRun.h"
#include "LiveServers.h"

#include <QProcess>
#include <algorithm>
#include <csignal>

// The relay's rate: about half of what the generated picture at 640x360 makes with x264 at
// 2000 kbit/s (some 450 kbit/s of video) and 64 kbit/s of AAC.
constexpr int kRelayKbps = 250, kAudioKbps = 64, kConfiguredKbps = 2000;

// Two live outputs of one source, each through its own relay to nginx, one adapting and one
// not. For 30 s: the adapting one's rate settles under the relay's and the server gets at least
// 95 % of its frames, with no reconnect; the other one drops packets or reconnects. Then the
// adapting one's relay carries all: its rate is back at the configured one within 30 s.
TEST(AdaptiveLive, TheRateFollowsTheLinkDownAndBackUp)
{
    live::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << qPrintable(nginx.log());
    live::ThrottleRelay adaptingLink(nginx.port(), kRelayKbps * 125, 4000000);
    live::ThrottleRelay plainLink(nginx.port(), kRelayKbps * 125, 4000000);
    ASSERT_TRUE(adaptingLink.start()) << qPrintable(adaptingLink.log());
    ASSERT_TRUE(plainLink.start()) << qPrintable(plainLink.log());
    QTemporaryDir dir;
    // The same output twice (2000 kbit/s of video, 64 of AAC), once adapting.
    const QString output = QStringLiteral(
        R"({"videoCodec": {"codecName": "X264", "bitrate": 2000, "keyframeInterval": 2},
            "audioCodec": {"codecName": "AAC", "bitrate": 64}, "streaming": {"enabled": true,
            "url": "%1", "streamKey": "%2", "adaptiveBitrate": %3, "minBitrate": 50}})");
    const QString job =
        writeFile(dir, "adaptive.json",
                  QStringLiteral(R"({"project": {"videoOutput": {"width": 640, "height": 360}},
                           "outputs": [%1, %2]})")
                      .arg(output.arg(adaptingLink.url(), "adapting", "true"),
                           output.arg(plainLink.url(), "plain", "false"))
                      .toUtf8());

    QProcess cli;
    cli.start(QStringLiteral(STREVO_CLI), {job, "-d", "90", "-q", "--json", "--progress", "-"});
    ASSERT_TRUE(cli.waitForStarted(10000));
    QMap<QByteArray, QByteArray> block;
    std::vector<long long> settling; // the adapting output's rate from 20 to 30 s
    double raisedAt = -1, backAt = -1;
    bool stopped = false;
    QByteArray out;
    while (cli.state() == QProcess::Running) {
        cli.waitForReadyRead(500);
        while (cli.canReadLine()) {
            const QByteArray line = cli.readLine();
            out += line;
            const int at = line.indexOf('=');
            if (at > 0)
                block.insert(line.left(at), line.mid(at + 1).trimmed());
            if (line != "progress=continue\n")
                continue;
            const double t = block.value("out_time_us").toLongLong() / 1e6;
            const long long rate = block.value("output1_video_bitrate").toLongLong();
            if (t >= 20 && t < 30)
                settling.push_back(rate);
            if (t >= 30 && raisedAt < 0) {
                adaptingLink.faster();
                raisedAt = t;
            }
            if (raisedAt >= 0 && backAt < 0 && rate == kConfiguredKbps)
                backAt = t;
            if (!stopped && raisedAt >= 0 && (backAt >= 0 || t > raisedAt + 40))
                stopped = ::kill(static_cast<pid_t>(cli.processId()), SIGINT) == 0; // once
        }
    }
    cli.waitForFinished(30000);
    out += cli.readAllStandardOutput();
    const QByteArray err = cli.readAllStandardError();
    const QByteArray summary = out.mid(out.lastIndexOf("progress=end\n") + 13);
    const QJsonArray outputs = QJsonDocument::fromJson(summary)["outputs"].toArray();
    ASSERT_EQ(outputs.size(), 2) << out.right(2000).constData() << err.constData();
    const QJsonObject adapting = outputs.at(0).toObject(), plain = outputs.at(1).toObject();
    const auto liveValue = [](const QJsonObject& o, const char* key) {
        return o["live"].toObject()[QLatin1String(key)].toDouble();
    };

    // Down: under the relay's rate, nothing lost on the way.
    ASSERT_FALSE(settling.empty());
    std::nth_element(settling.begin(), settling.begin() + settling.size() / 2, settling.end());
    EXPECT_LT(settling[settling.size() / 2] + kAudioKbps, kRelayKbps);
    EXPECT_EQ(liveValue(adapting, "reconnects"), 0) << err.constData();
    EXPECT_GT(adapting["stats"].toObject()["bitrateChanges"].toInt(), 2);
    QStringList streamed = nginx.recordings().filter(QStringLiteral("adapting"));
    ASSERT_EQ(streamed.size(), 1) << streamed.join(' ').toStdString();
    ASSERT_TRUE(nginx.waitForStreamsEnded(1));
    const long long sent = adapting.value(QStringLiteral("frames")).toInt();
    EXPECT_GE(Probe::inspect(streamed.front()).frames(), sent * 95 / 100) << sent;
    // Without adapting, the same link loses packets or the connection.
    EXPECT_GT(liveValue(plain, "reconnects") + liveValue(plain, "dropped"), 0);

    // Up: back at the configured rate within 30 s of the relay carrying all.
    EXPECT_GE(backAt, 0) << "the rate did not come back";
    EXPECT_LE(backAt - raisedAt, 30);
}
