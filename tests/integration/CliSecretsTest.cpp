// strevo-cli streaming with credentials to a real RTMP server (nginx with its RTMP module): no
// form of the stream key or the password reaches what it prints, with the library's own log
// shown (--verbose) and in the JSON summary, while ordinary text stays readable.

#include "CliRun.h"
#include "LiveServers.h"

#include <QUrl>

namespace {

// Every form in which a secret can be written into a URL or a log line.
QStringList formsOf(const QString& secret)
{
    const QByteArray encoded = QUrl::toPercentEncoding(secret);
    QUrl path(QStringLiteral("rtmp://h/"));
    path.setPath(QLatin1Char('/') + secret);
    QStringList forms{
        secret,
        QString::fromLatin1(encoded),
        QString::fromLatin1(encoded).toLower(),
        QString::fromLatin1(encoded).replace(QLatin1String("%20"), QLatin1String("+")),
        path.path(QUrl::FullyEncoded).mid(1),
        QString(secret).replace(QLatin1Char(' '), QLatin1Char('+'))};
    forms.removeDuplicates();
    return forms;
}

struct SecretCase
{
    const char* name;
    int rtmpMode; // 0: the library's own RTMP publisher (librtmp), 1: libavformat's
    const char* streamKey;
    const char* password;
    bool words; // the secrets are ordinary words that the source description also holds
};

void PrintTo(const SecretCase& c, std::ostream* os)
{
    *os << c.name;
}

class CliSecrets : public ::testing::TestWithParam<SecretCase>
{
};

} // namespace

TEST_P(CliSecrets, NoFormOfTheKeyOrPasswordIsPrinted)
{
    const SecretCase& c = GetParam();
    QTemporaryDir dir;
    live::NginxRtmp server;
    ASSERT_TRUE(server.start()) << qPrintable(server.log());
    QJsonObject streaming{{"enabled", true},
                          {"url", server.url()},
                          {"streamKey", QString::fromUtf8(c.streamKey)},
                          {"rtmpMode", c.rtmpMode},
                          {"authEnabled", true},
                          {"userName", "bob"},
                          {"password", QString::fromUtf8(c.password)}};
    const QJsonObject job{
        {"project", QJsonObject{{"videoOutput",
                                 QJsonObject{{"width", 640}, {"height", 360}, {"frameRate", 30}}}}},
        {"outputs", QJsonArray{QJsonObject{{"videoCodec", QJsonObject{{"codecName", "X264"},
                                                                      {"bitrate", 1000},
                                                                      {"keyframeInterval", 1}}},
                                           {"audioCodec", QJsonObject{{"codecName", "AAC"}}},
                                           {"streaming", streaming}}}}};
    const QString path = writeFile(dir, "secret.json", QJsonDocument(job).toJson());

    const CliRun run = cli({path, "-d", "2", "--verbose", "--json"});
    server.waitForStreamsEnded();
    server.stop();
    SCOPED_TRACE(run.r.err.constData());
    EXPECT_EQ(run.r.exitCode, 0);
    // The library's own publisher hands the key over whole, spaces and all.
    if (c.rtmpMode == 0) {
        const QByteArray serverLog = live::readFile(server.path(QStringLiteral("error.log")));
        EXPECT_TRUE(serverLog.contains("name='" + QByteArray(c.streamKey) + "'"));
    }
    EXPECT_TRUE(run.r.err.contains("rtmp: live"));
    // The library's own lines were shown: the masking was put to work on them.
    EXPECT_TRUE(run.r.err.contains("[log] "));

    const QString key = QString::fromUtf8(c.streamKey);
    const QString password = QString::fromUtf8(c.password);
    for (const QString& secret : {key, password}) {
        if (c.words)
            continue; // ordinary words stay readable in text; the URL below shows them masked
        for (const QString& form : formsOf(secret)) {
            EXPECT_FALSE(run.r.err.contains(form.toUtf8())) << qPrintable(form);
            EXPECT_FALSE(run.r.out.contains(form.toUtf8())) << qPrintable(form);
        }
    }
    EXPECT_EQ(run.output()
                  .value(QStringLiteral("live"))
                  .toObject()
                  .value(QStringLiteral("url"))
                  .toString()
                  .toStdString(),
              QStringLiteral("rtmp://***@127.0.0.1:%1/live/***").arg(server.port()).toStdString());
    // Text that merely shares a word with a secret stays as it is.
    const QString source = run.summary.value(QStringLiteral("source")).toString();
    EXPECT_TRUE(source.startsWith(QLatin1String("test pattern 640x360 at 30 fps")))
        << qPrintable(source);
    EXPECT_TRUE(run.r.err.contains("source: test pattern 640x360 at 30 fps"));
}

INSTANTIATE_TEST_SUITE_P(
    CliLive, CliSecrets,
    ::testing::Values(SecretCase{"OwnPublisher", 0, "k3y 50%off+\xc3\xa9", "p@ss w%rd", false},
                      SecretCase{"Libavformat", 1, "k3y 50%off+\xc3\xa9", "p@ss w%rd", false},
                      SecretCase{"WordsAsSecrets", 1, "test", "pattern", true}),
    [](const ::testing::TestParamInfo<SecretCase>& info) { return std::string(info.param.name); });
