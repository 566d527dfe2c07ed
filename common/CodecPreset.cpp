#include "common/CodecPreset.h"

#include "common/PresetJson.h"

bool CodecModel::VideoCodec::operator==(const VideoCodec& o) const
{
    return enabled == o.enabled && codecName == o.codecName && bitrate == o.bitrate &&
           frameRate == o.frameRate && scanMode == o.scanMode && auxMode == o.auxMode &&
           width == o.width && height == o.height && auxFlag == o.auxFlag &&
           scaleMode == o.scaleMode && codecProfile == o.codecProfile &&
           keyframeInterval == o.keyframeInterval && auxValue == o.auxValue && preset == o.preset &&
           tune == o.tune && profileIdc == o.profileIdc && bFrames == o.bFrames;
}

namespace {

// The preset's own scalar members, as one pseudo-record so that they share the field rules.
struct Members
{
    QString& projectName;
    QString& sourceName;
    int& encoderType;

    template <class V> void visit(V& v)
    {
        v("projectName", projectName);
        v("sourceName", sourceName);
        v("encoderType", encoderType);
    }
};

const char* const kMemberKeys[] = {"projectName", "sourceName", "encoderType"};
const char* const kRecordKeys[] = {"videoCodec", "audioCodec",  "container",  "local",
                                   "streaming",  "transcoding", "videoSource"};

} // namespace

QJsonObject CodecPreset::toJson() const
{
    QJsonObject o = ProjectPreset::toJson();
    o.insert(QStringLiteral("projectName"), projectName);
    o.insert(QStringLiteral("sourceName"), sourceName);
    o.insert(QStringLiteral("encoderType"), encoderType);
    o.insert(QStringLiteral("videoCodec"), PresetJson::write(m_videoCodec));
    o.insert(QStringLiteral("audioCodec"), PresetJson::write(m_audioCodec));
    o.insert(QStringLiteral("container"), PresetJson::write(m_container));
    o.insert(QStringLiteral("local"), PresetJson::write(m_local));
    o.insert(QStringLiteral("streaming"), PresetJson::write(m_streaming));
    o.insert(QStringLiteral("transcoding"), PresetJson::write(m_transcoding));
    QJsonObject sources;
    for (auto it = m_videoSource.begin(); it != m_videoSource.end(); ++it)
        sources.insert(QString::number(it.key()), it.value());
    o.insert(QStringLiteral("videoSource"), sources);
    return o;
}

bool CodecPreset::holdsSecrets() const
{
    return !m_streaming.password.isEmpty() || !m_streaming.streamKey.isEmpty() ||
           !m_streaming.srtPassphrase.isEmpty();
}

bool CodecPreset::knownTopLevelKey(const QString& key) const
{
    for (const char* k : kMemberKeys)
        if (key == QLatin1String(k))
            return true;
    for (const char* k : kRecordKeys)
        if (key == QLatin1String(k))
            return true;
    return ProjectPreset::knownTopLevelKey(key);
}

bool CodecPreset::readJson(const QJsonObject& json, QString* error)
{
    if (!ProjectPreset::readJson(json, error))
        return false;

    // The members sit at the top level; read them as a record over a filtered object so that
    // the other top-level keys are not taken for unknown fields.
    QJsonObject members;
    for (const char* k : kMemberKeys)
        if (json.contains(QLatin1String(k)))
            members.insert(QLatin1String(k), json.value(QLatin1String(k)));
    Members m{projectName, sourceName, encoderType};
    if (!PresetJson::read(members, QStringLiteral("preset"), m, error))
        return false;

    if (!PresetJson::read(json.value(QStringLiteral("videoCodec")), QStringLiteral("videoCodec"),
                          m_videoCodec, error) ||
        !PresetJson::read(json.value(QStringLiteral("audioCodec")), QStringLiteral("audioCodec"),
                          m_audioCodec, error) ||
        !PresetJson::read(json.value(QStringLiteral("container")), QStringLiteral("container"),
                          m_container, error) ||
        !PresetJson::read(json.value(QStringLiteral("local")), QStringLiteral("local"), m_local,
                          error) ||
        !PresetJson::read(json.value(QStringLiteral("streaming")), QStringLiteral("streaming"),
                          m_streaming, error) ||
        !PresetJson::read(json.value(QStringLiteral("transcoding")), QStringLiteral("transcoding"),
                          m_transcoding, error))
        return false;

    const QJsonValue sources = json.value(QStringLiteral("videoSource"));
    if (sources.isUndefined())
        return true;
    if (!sources.isObject())
        return PresetJson::fail(error, QStringLiteral("videoSource: expected an object"));
    QMap<int, int> map;
    const QJsonObject so = sources.toObject();
    for (auto it = so.begin(); it != so.end(); ++it) {
        bool keyOk = false;
        const int key = it.key().toInt(&keyOk);
        const double value = it.value().toDouble(0.5);
        if (!keyOk)
            return PresetJson::fail(
                error, QStringLiteral("videoSource.%1: key is not a source index").arg(it.key()));
        if (!it.value().isDouble() || value != static_cast<int>(value))
            return PresetJson::fail(
                error, QStringLiteral("videoSource.%1: expected a whole number").arg(it.key()));
        map.insert(key, static_cast<int>(value));
    }
    m_videoSource = map;
    return true;
}
