// strevo-cli: encodes a generated test source with the library.

#include "codec/video/IVideoCodec.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "encoder/IEncoder.h"
#include "tools/TestPattern.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct CodecDeleter
{
    void operator()(IVideoCodec* c) const { delete c; }
};

// The library reports through Qt's logger. Warnings are kept so that a failure can say why;
// debug messages are shown only with --verbose.
QStringList g_warnings;
bool g_verbose = false;

void logHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        if (g_verbose)
            std::fprintf(stderr, "%s\n", qPrintable(text.trimmed()));
        return;
    }
    g_warnings << text.trimmed();
}

int fail(const QString& message)
{
    std::fprintf(stderr, "strevo-cli: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("strevo-cli"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Encodes a generated moving test pattern (NV12) with x264 into an Annex B .h264 file."));
    parser.addHelpOption();
    const QCommandLineOption outOpt(QStringList{QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("Output .h264 file."), QStringLiteral("path"),
                                    QStringLiteral("strevo-test.h264"));
    const QCommandLineOption durationOpt(QStringLiteral("duration"),
                                         QStringLiteral("Seconds to encode (default 10)."),
                                         QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption sizeOpt(QStringLiteral("size"),
                                     QStringLiteral("Picture size WxH (default 1280x720)."),
                                     QStringLiteral("WxH"), QStringLiteral("1280x720"));
    const QCommandLineOption rateOpt(QStringLiteral("rate"),
                                     QStringLiteral("Frames per second (default 30)."),
                                     QStringLiteral("fps"), QStringLiteral("30"));
    const QCommandLineOption bitrateOpt(QStringLiteral("bitrate"),
                                        QStringLiteral("kbit/s (default 4000)."),
                                        QStringLiteral("kbps"), QStringLiteral("4000"));
    const QCommandLineOption keyOpt(QStringLiteral("keyint"),
                                    QStringLiteral("Key-frame interval in seconds (default 2)."),
                                    QStringLiteral("seconds"), QStringLiteral("2"));
    const QCommandLineOption quietOpt(QStringLiteral("quiet"), QStringLiteral("Print nothing but errors."));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"),
                                        QStringLiteral("Show the library's debug messages."));
    parser.addOptions({outOpt, durationOpt, sizeOpt, rateOpt, bitrateOpt, keyOpt, quietOpt, verboseOpt});
    parser.process(app);
    g_verbose = parser.isSet(verboseOpt);
    qInstallMessageHandler(logHandler);

    bool ok = false;
    const double seconds = parser.value(durationOpt).toDouble(&ok);
    if (!ok || seconds <= 0)
        return fail(QStringLiteral("bad --duration '%1'").arg(parser.value(durationOpt)));
    const QStringList size = parser.value(sizeOpt).split(QLatin1Char('x'));
    int width = 0, height = 0;
    if (size.size() == 2) {
        width = size[0].toInt();
        height = size[1].toInt();
    }
    if (width <= 0 || height <= 0)
        return fail(QStringLiteral("bad --size '%1'").arg(parser.value(sizeOpt)));
    const double fps = parser.value(rateOpt).toDouble(&ok);
    if (!ok || fps <= 0)
        return fail(QStringLiteral("bad --rate '%1'").arg(parser.value(rateOpt)));

    CodecPreset preset;
    auto& video = preset.videoCodec();
    video.codecName = QStringLiteral("X264");
    video.width = width;
    video.height = height;
    video.frameRate = fps;
    video.bitrate = parser.value(bitrateOpt).toInt();
    video.keyframeInterval = parser.value(keyOpt).toInt();
    video.preset = QStringLiteral("veryfast");
    video.tune = QStringLiteral("zerolatency");

    std::unique_ptr<IVideoCodec, CodecDeleter> codec(IEncoder::createVideoEncoder(video.codecName));
    if (!codec || !codec->initialize(&preset))
        return fail(QStringLiteral("cannot open the %1 encoder for %2x%3 at %4 fps%5")
                        .arg(video.codecName).arg(width).arg(height).arg(fps)
                        .arg(g_warnings.isEmpty() ? QString() : QStringLiteral(": ") + g_warnings.last()));

    const QString path = parser.value(outOpt);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));

    TestPattern pattern(width, height);
    std::vector<unsigned char> out(static_cast<size_t>(width) * height * 4);
    const long long frames = static_cast<long long>(seconds * fps + 0.5);
    long long packets = 0;
    for (long long i = 0; i < frames; ++i) {
        const uint8_t* picture = pattern.frame(i);
        unsigned int outSize = 0, key = 0;
        long long pts = -1, dts = -1;
        if (!codec->encode(const_cast<unsigned char*>(picture), pattern.frameSize(), PIX_NV12,
                           out.data(), outSize, key, pts, dts))
            continue;
        // Annex B elementary stream: parameter sets in front of the first packet.
        if (packets == 0)
            file.write(reinterpret_cast<const char*>(codec->extraData()), codec->extraDataSize());
        if (file.write(reinterpret_cast<const char*>(out.data()), outSize) != outSize)
            return fail(QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
        ++packets;
    }
    file.close();
    if (!parser.isSet(quietOpt))
        std::printf("wrote %lld of %lld frames (%.1f s at %g fps, %dx%d) to %s\n", packets, frames,
                    seconds, fps, width, height, qPrintable(QFileInfo(path).absoluteFilePath()));
    return 0;
}
