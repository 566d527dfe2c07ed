#include "api/Catalogue.h"

#include "codec/video/MFVideo.h"
#include "codec/video/nvenc/NvencAvailable.h"
#include "common/CodecPreset.h"
#include "muxer/LiveUrl.h"
#include "muxer/MuxerFactory.h"

#include <QDir>
#include <QFileInfo>

bool Catalogue::runs(const CodecTable::Entry& entry)
{
    switch (entry.backend) {
    case CodecTable::Backend::Nvenc:
        return nvencAvailable();
    case CodecTable::Backend::MFVideo:
        return MFVideo::available(QLatin1String(entry.name));
    case CodecTable::Backend::Amf:
    case CodecTable::Backend::None:
        return false;
    default:
        return true;
    }
}

QMap<int, QString> Catalogue::codecs(CodecTable::Kind kind)
{
    QMap<int, QString> list;
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (int i = 0; i < count; ++i) {
        const CodecTable::Entry& entry = entries[i];
        if (entry.kind == kind && entry.catalogueKey != 0 && runs(entry))
            list.insert(entry.catalogueKey, QLatin1String(entry.name));
    }
    return list;
}

QMap<int, QString> Catalogue::containers()
{
    QMap<int, QString> list;
    int count = 0;
    const CodecTable::ContainerName* containers = CodecTable::containers(&count);
    for (int i = 0; i < count; ++i)
        list.insert(containers[i].key, QLatin1String(containers[i].name));
    return list;
}

QString Catalogue::device(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    if (!entry || entry->kind != CodecTable::Kind::Video || !runs(*entry))
        return QString();
    if (entry->backend == CodecTable::Backend::Nvenc)
        return QStringLiteral("NVENC on ") + QString::fromStdString(nvencDevice());
    return entry->backend == CodecTable::Backend::MFVideo ? MFVideo::device(name) : QString();
}

QString Catalogue::presetProblem(const CodecPreset& preset)
{
    const CodecModel::VideoCodec& video = preset.videoCodec();
    const CodecModel::AudioCodec& audio = preset.audioCodec();
    if (!preset.local().enabled && !preset.streaming().enabled)
        return QStringLiteral("the preset neither records nor streams");
    if (!video.enabled)
        return QStringLiteral("the preset has no video");
    const CodecTable::Entry* videoEntry = CodecTable::find(video.codecName);
    if (!videoEntry || videoEntry->kind != CodecTable::Kind::Video)
        return QStringLiteral("'%1' is not a video codec name").arg(video.codecName);
    if (!runs(*videoEntry))
        return QStringLiteral("%1 cannot encode on this machine").arg(video.codecName);
    const CodecTable::Entry* audioEntry = nullptr;
    if (audio.enabled) {
        audioEntry = CodecTable::find(audio.codecName);
        if (!audioEntry || audioEntry->kind != CodecTable::Kind::Audio)
            return QStringLiteral("'%1' is not an audio codec name").arg(audio.codecName);
    }
    if (preset.local().enabled) {
        const QString& format = preset.container().format;
        for (const CodecTable::Entry* entry : {videoEntry, audioEntry})
            if (entry && !CodecTable::fits(*entry, format))
                return QStringLiteral("%1 cannot be recorded in %2")
                    .arg(QLatin1String(entry->name), format);
        const QString folder = preset.local().folder;
        const QFileInfo dir(folder);
        if (folder.isEmpty())
            return QStringLiteral("the recording has no folder");
        if (!dir.exists() && !QDir().mkpath(folder))
            return QStringLiteral("the recording folder '%1' cannot be created").arg(folder);
        if (!QFileInfo(folder).isDir() || !QFileInfo(folder).isWritable())
            return QStringLiteral("the recording folder '%1' is not a writable folder").arg(folder);
    }
    const QString replay = MuxerFactory::invalidSettings(preset);
    if (!replay.isEmpty())
        return QStringLiteral("%1 is out of range").arg(replay);
    QString streamWhy;
    if (preset.streaming().enabled &&
        (!LiveUrl::check(preset.streaming(), &streamWhy) || !LiveUrl::carries(preset, &streamWhy) ||
         !LiveUrl::checkAdaptive(preset, &streamWhy)))
        return streamWhy;
    return {};
}
