#include "tools/Job.h"

#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/Redact.h"
#include "muxer/LiveUrl.h"
#include "tools/CodecList.h"
#include "tools/NameTokens.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegExp>
#include <algorithm>

namespace {

// Job files are a few kB; a limit keeps a wrong path (a device, a huge media file) from being
// read into memory.
constexpr qint64 kMaxJobFileBytes = 1 << 20;

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// "unknown video codec 'X265' (usable here: X264, H264, ...)": the names this machine can
// use, the nearest first.
QString unknownCodec(CodecTable::Kind kind, const QString& name)
{
    const QStringList usable = CodecList::usableNames(kind);
    return QStringLiteral("unknown %1 codec '%2' (usable here: %3)")
        .arg(QLatin1String(kind == CodecTable::Kind::Video ? "video" : "audio"), name,
             CodecList::nearest(name, usable, usable.size()).join(QStringLiteral(", ")));
}

// A name of `known` written in another case becomes the one of the list.
void normalise(QString* name, const QStringList& known)
{
    for (const QString& k : known)
        if (k.compare(*name, Qt::CaseInsensitive) == 0)
            *name = k;
}

int lineOf(const QByteArray& text, int offset)
{
    return 1 + static_cast<int>(text.left(offset).count('\n'));
}

} // namespace

namespace {

// The names the codec table knows for one kind that this build has an encoder for (the
// hardware names included, whose pipelines say themselves whether the machine has one).
QStringList tableNames(CodecTable::Kind kind)
{
    QStringList names;
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (int i = 0; i < count; ++i) {
        if (entries[i].kind == kind && entries[i].backend != CodecTable::Backend::None)
            names << QLatin1String(entries[i].name);
    }
    return names;
}

// A null-terminated list of names from the codec table.
QStringList names(const char* const* list)
{
    QStringList out;
    for (; *list; ++list)
        out << QLatin1String(*list);
    return out;
}

} // namespace

const QStringList& Job::videoCodecNames()
{
    static const QStringList names = tableNames(CodecTable::Kind::Video);
    return names;
}

const QStringList& Job::audioCodecNames()
{
    static const QStringList names = tableNames(CodecTable::Kind::Audio);
    return names;
}

bool Job::load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error,
                    QStringLiteral("cannot open job file '%1': %2").arg(path, file.errorString()));
    // Read one byte more than allowed: devices and pipes have no size to check beforehand.
    const QByteArray text = file.read(kMaxJobFileBytes + 1);
    if (text.size() > kMaxJobFileBytes)
        return fail(error, QStringLiteral("job file '%1' is larger than %2 kB; is it a job file?")
                               .arg(path)
                               .arg(kMaxJobFileBytes / 1024));
    QString reason;
    if (!parse(text, QFileInfo(path).completeBaseName(), &reason))
        return fail(error, redactSecrets(QStringLiteral("%1: %2").arg(path, reason), secrets));
    return true;
}

bool Job::parse(const QByteArray& text, const QString& jobName, QString* error)
{
    name = jobName;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("line %1: %2")
                               .arg(lineOf(text, parseError.offset))
                               .arg(parseError.errorString()));
    if (!doc.isObject())
        return fail(error, QStringLiteral("expected a JSON object"));
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        static const QStringList known{QStringLiteral("description"), QStringLiteral("project"),
                                       QStringLiteral("source"), QStringLiteral("duration"),
                                       QStringLiteral("outputs")};
        if (!known.contains(it.key()))
            return fail(error, QStringLiteral("unknown key '%1' (known: %2)")
                                   .arg(it.key(), known.join(QStringLiteral(", "))));
    }

    QString reason;
    const QJsonValue projectValue = root.value(QStringLiteral("project"));
    if (!projectValue.isUndefined()) {
        if (!projectValue.isObject())
            return fail(error, QStringLiteral("project: expected an object"));
        if (!project.fromJson(projectValue.toObject(), &reason))
            return fail(error, QStringLiteral("project.") + reason);
    }
    const auto& video = project.videoOutput();
    if (video.width <= 0 || video.height <= 0)
        return fail(error, QStringLiteral("project.videoOutput: picture size %1x%2")
                               .arg(video.width)
                               .arg(video.height));
    if (!(video.frameRate > 0.0) || video.frameRate > 1000.0)
        return fail(error, QStringLiteral("project.videoOutput.frameRate: %1 is not a frame rate")
                               .arg(video.frameRate));
    const auto& audio = project.audioOutput();
    if (audio.bitsPerSample != 16)
        return fail(
            error,
            QStringLiteral(
                "project.audioOutput.bitsPerSample: %1 (sound is delivered as 16-bit samples)")
                .arg(audio.bitsPerSample));
    if (audio.channels < 1 || audio.channels > 8)
        return fail(error, QStringLiteral("project.audioOutput.channels: %1").arg(audio.channels));
    if (audio.sampleRate < 8000 || audio.sampleRate > 192000)
        return fail(error,
                    QStringLiteral("project.audioOutput.sampleRate: %1 Hz").arg(audio.sampleRate));

    if (!readSource(root.value(QStringLiteral("source")), error))
        return false;

    const QJsonValue durationValue = root.value(QStringLiteral("duration"));
    if (!durationValue.isUndefined()) {
        if (!durationValue.isDouble() || durationValue.toDouble() < 0.0)
            return fail(error, QStringLiteral("duration: expected seconds (a number, 0 or more)"));
        duration = durationValue.toDouble();
    }

    const QJsonValue outputs = root.value(QStringLiteral("outputs"));
    if (!outputs.isArray() || outputs.toArray().isEmpty())
        return fail(error, QStringLiteral("outputs: expected a list of at least one output"));
    m_outputs.clear();
    secrets.clear();
    warnings.clear();
    const QJsonArray list = outputs.toArray();
    for (int i = 0; i < list.size(); ++i)
        if (!readOutput(list.at(i), i, error))
            return false;
    return true;
}

bool Job::readSource(const QJsonValue& value, QString* error)
{
    if (value.isUndefined())
        return true;
    if (!value.isObject())
        return fail(error, QStringLiteral("source: expected an object"));
    const QJsonObject source = value.toObject();
    for (auto it = source.begin(); it != source.end(); ++it)
        if (it.key() != QLatin1String("type") && it.key() != QLatin1String("path") &&
            it.key() != QLatin1String("pixelFormat"))
            return fail(error,
                        QStringLiteral("source: unknown key '%1' (known: type, path, pixelFormat)")
                            .arg(it.key()));
    const QString type = source.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("generated")) {
        sourceType = SourceType::Generated;
    } else if (type == QLatin1String("file")) {
        sourceType = SourceType::File;
        sourcePath = source.value(QStringLiteral("path")).toString();
        if (sourcePath.isEmpty())
            return fail(
                error, QStringLiteral("source.path: a file source needs the path of a media file"));
    } else if (type == QLatin1String("stdin")) {
        sourceType = SourceType::Stdin;
    } else {
        return fail(error,
                    QStringLiteral("source.type: expected \"generated\", \"file\" or \"stdin\""));
    }
    const QJsonValue format = source.value(QStringLiteral("pixelFormat"));
    if (!format.isUndefined()) {
        const int code = pixelFormatFromName(format.toString().toUpper().toLatin1().constData());
        if (code < 0 || pixelFormatFrameSize(code, 16, 16) <= 0)
            return fail(error, QStringLiteral("source.pixelFormat: '%1' is not a raw pixel format")
                                   .arg(format.toString()));
        sourcePixelFormat = code;
    }
    return true;
}

bool Job::readOutput(const QJsonValue& value, int index, QString* error)
{
    const QString where = QStringLiteral("outputs[%1]").arg(index);
    if (!value.isObject())
        return fail(error, where + QStringLiteral(": expected an object"));
    const QJsonObject object = value.toObject();
    for (const char* key : {"videoOutput", "audioOutput"})
        if (object.contains(QLatin1String(key)))
            return fail(
                error,
                QStringLiteral("%1.%2: the input format is set once for the job, in \"project\"")
                    .arg(where, QLatin1String(key)));
    if (object.value(QStringLiteral("local")).toObject().contains(QStringLiteral("recordingPath")))
        return fail(
            error,
            where + QStringLiteral(
                        ".local.recordingPath: the file name comes from local.fileNameTemplate"));
    if (object.contains(QStringLiteral("transcoding")))
        return fail(error, where + QStringLiteral(".transcoding: follows from the source"));
    // Known before the output is checked, so that no message about it can show them.
    const QJsonObject streaming = object.value(QStringLiteral("streaming")).toObject();
    const auto text = [&](const char* key) {
        return streaming.value(QLatin1String(key)).toString();
    };
    CodecModel::Streaming given;
    given.url = text("url");
    given.streamKey = text("streamKey");
    given.userName = text("userName");
    given.password = text("password");
    given.srtPassphrase = text("srtPassphrase");
    for (const QString& secret : LiveUrl::secrets(given))
        if (!secrets.contains(secret))
            secrets.append(secret);
    // The recording name's template, as the job writes it (the default, the job's name, is
    // kept as it is).
    const QJsonValue pattern =
        object.value(QStringLiteral("local")).toObject().value(QStringLiteral("fileNameTemplate"));
    QStringList notes;
    QString why;
    if (pattern.isString() && !NameTokens::check(pattern.toString(), &notes, &why))
        return fail(error, where + QStringLiteral(".local.fileNameTemplate: ") + why);
    for (const QString& note : notes)
        warnings << where + QStringLiteral(".local.fileNameTemplate: ") + note;
    m_outputs.append(object);
    CodecPreset preset;
    return outputPreset(index, &preset, error);
}

bool Job::checkLive(const QString& where, bool containerGiven, CodecPreset* p, QString* error) const
{
    const CodecModel::Streaming& streaming = p->streaming();
    if (p->local().enabled)
        return fail(error,
                    where + QStringLiteral(": local.enabled and streaming.enabled: an output "
                                           "either records or goes live; make two outputs"));
    QString why;
    // A reason about another field than the URL begins with that field's name.
    if (!LiveUrl::check(streaming, &why) || !LiveUrl::carries(*p, &why))
        return fail(error, where + (why.startsWith(QLatin1String("streaming."))
                                        ? QStringLiteral(".") + why
                                        : QStringLiteral(".streaming.url: ") + why));
    if (!LiveUrl::checkAdaptive(*p, &why))
        return fail(error, where + QStringLiteral(".") + why);
    if (streaming.authEnabled && streaming.userName.isEmpty())
        return fail(error,
                    where + QStringLiteral(".streaming.userName: authEnabled needs a user name"));
    // The stream's container follows from the scheme; the names here are the container names
    // recordings use ("ts" for MPEG-TS).
    const QString scheme = LiveUrl::scheme(streaming.url);
    QString container = QLatin1String(LiveUrl::containerFor(scheme));
    if (container == QLatin1String("mpegts"))
        container = QStringLiteral("ts");
    QString& format = p->container().format;
    if (containerGiven && format != container &&
        !(container == QLatin1String("ts") && format == QLatin1String("mpegts")))
        return fail(error, where + QStringLiteral(".container.format: a %1 stream carries %2, "
                                                  "not '%3' (leave the format out)")
                                       .arg(scheme, container, format));
    format = container;
    return true;
}

bool Job::outputPreset(int index, CodecPreset* preset, QString* error) const
{
    const QString where = QStringLiteral("outputs[%1]").arg(index);
    CodecPreset p;
    static_cast<ProjectPreset&>(p) = project;
    p.videoCodec().width = project.videoOutput().width;
    p.videoCodec().height = project.videoOutput().height;
    p.videoCodec().frameRate = project.videoOutput().frameRate;
    p.audioCodec().sampleRate = project.audioOutput().sampleRate;
    p.audioCodec().channels = std::min(project.audioOutput().channels, 2);
    p.local().folder = QStringLiteral("out");
    p.local().fileNameTemplate = name;
    p.projectName = name;
    // A recording of the command-line host survives a crash or a full disk unless the job
    // says otherwise (only mp4/mov read the flag).
    p.container().crashSafe = true;
    // A live output records nothing unless it says so: "local" defaults to on only for
    // recordings.
    const QJsonObject& object = m_outputs.at(index);
    const bool liveAsked = object.value(QStringLiteral("streaming"))
                               .toObject()
                               .value(QStringLiteral("enabled"))
                               .toBool();
    if (liveAsked)
        p.local().enabled = false;
    QString reason;
    if (!p.fromJson(object, &reason))
        return fail(error, where + QLatin1Char('.') + reason);
    // Names in any case: "x264" is X264, "MP4" writes .mp4.
    normalise(&p.videoCodec().codecName, videoCodecNames());
    normalise(&p.audioCodec().codecName, audioCodecNames());
    const QString container = CodecList::containerName(p.container().format);
    if (!container.isEmpty())
        p.container().format = container;
    if (p.streaming().enabled) {
        const bool containerGiven =
            object.value(QStringLiteral("container")).toObject().contains(QStringLiteral("format"));
        if (!checkLive(where, containerGiven, &p, error))
            return false;
    }

    const auto& video = p.videoCodec();
    if (!video.enabled)
        return fail(error, where + QStringLiteral(".videoCodec.enabled: every output needs video"));
    if (!videoCodecNames().contains(video.codecName))
        return fail(error, where + QStringLiteral(".videoCodec.codecName: ") +
                               unknownCodec(CodecTable::Kind::Video, video.codecName));
    if (video.width <= 0 || video.height <= 0)
        return fail(error, where + QStringLiteral(".videoCodec: picture size %1x%2")
                                       .arg(video.width)
                                       .arg(video.height));
    if (!(video.frameRate > 0.0) || video.frameRate > 1000.0)
        return fail(error, where + QStringLiteral(".videoCodec.frameRate: %1 is not a frame rate")
                                       .arg(video.frameRate));
    // Encoders such as x264 fall back to their defaults on a misspelt preset or tune name;
    // catch it here instead, for every codec whose row lists the names it takes.
    const CodecTable::Entry* codec = CodecTable::find(video.codecName); // known, checked above
    const auto knownNames = [&](const char* field, const QStringList& given,
                                const char* const* known) {
        if (!known)
            return true;
        const QStringList list = names(known);
        for (const QString& name : given)
            if (!list.contains(name))
                return fail(error, where + QStringLiteral(".videoCodec.%1: unknown %2 %1 '%3' "
                                                          "(known: %4)")
                                               .arg(QLatin1String(field), video.codecName, name,
                                                    list.join(QStringLiteral(", "))));
        return true;
    };
    const QStringList presets = video.preset.isEmpty() ? QStringList() : QStringList{video.preset};
    const QStringList tunes = video.tune.split(QRegExp(QStringLiteral("[,+]")), Qt::SkipEmptyParts);
    if (!knownNames("preset", presets, codec->presets) || !knownNames("tune", tunes, codec->tunes))
        return false;
    if (video.bitrate <= 0)
        return fail(error,
                    where + QStringLiteral(".videoCodec.bitrate: %1 kbit/s").arg(video.bitrate));
    const auto& audio = p.audioCodec();
    if (audio.enabled && !audioCodecNames().contains(audio.codecName))
        return fail(error, where + QStringLiteral(".audioCodec.codecName: ") +
                               unknownCodec(CodecTable::Kind::Audio, audio.codecName));
    if (p.container().format.isEmpty())
        return fail(error, where + QStringLiteral(".container.format: empty"));
    if (!p.local().enabled && !p.streaming().enabled)
        return fail(
            error,
            where + QStringLiteral(
                        ": neither local.enabled nor streaming.enabled: nothing would be written"));
    if (p.local().enabled && p.local().splitSeconds < 0)
        return fail(error,
                    where + QStringLiteral(".local.splitSeconds: %1").arg(p.local().splitSeconds));
    // The library's ranges (CodecModel::Local), said here with the job file's field names.
    const CodecModel::Local& local = p.local();
    if (local.replaySeconds < 0 || local.replaySeconds > 3600)
        return fail(error, where + QStringLiteral(".local.replaySeconds: %1 (0 to 3600; 0: an "
                                                  "ordinary recording)")
                                       .arg(local.replaySeconds));
    if (local.replaySeconds > 0) {
        if (p.streaming().enabled)
            return fail(error, where + QStringLiteral(".local.replaySeconds: a live output keeps "
                                                      "no replay; make a recording output for "
                                                      "it"));
        if (local.splitSeconds > 0)
            return fail(error, where + QStringLiteral(".local.splitSeconds: a replay buffer "
                                                      "saves one file per request"));
        if (local.replayMaxMegabytes < 1 || local.replayMaxMegabytes > 16384)
            return fail(error, where + QStringLiteral(".local.replayMaxMegabytes: %1 (1 to "
                                                      "16384)")
                                           .arg(local.replayMaxMegabytes));
    }
    if (sourceType == SourceType::File) {
        if (p.local().splitSeconds > 0)
            return fail(error,
                        where +
                            QStringLiteral(
                                ".local.splitSeconds: a transcoding writes one file per output"));
        if (p.streaming().enabled)
            return fail(error,
                        where + QStringLiteral(".streaming: a media file is transcoded to files "
                                               "only; live outputs need a generated or raw "
                                               "(stdin) source"));
    }
    *preset = p;
    return true;
}
