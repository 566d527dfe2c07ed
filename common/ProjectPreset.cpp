#include "common/ProjectPreset.h"

#include "common/PresetJson.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <memory>

QJsonObject ProjectPreset::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("videoOutput"), PresetJson::write(m_videoOutput));
    o.insert(QStringLiteral("audioOutput"), PresetJson::write(m_audioOutput));
    o.insert(QStringLiteral("processing"), PresetJson::write(m_processing));
    o.insert(QStringLiteral("deviceInfo"), PresetJson::write(m_deviceInfo));
    return o;
}

bool ProjectPreset::knownTopLevelKey(const QString& key) const
{
    return key == QLatin1String("videoOutput") || key == QLatin1String("audioOutput") ||
           key == QLatin1String("processing") || key == QLatin1String("deviceInfo");
}

bool ProjectPreset::readJson(const QJsonObject& json, QString* error)
{
    for (auto it = json.begin(); it != json.end(); ++it)
        if (!knownTopLevelKey(it.key()))
            return PresetJson::fail(error, it.key() + QStringLiteral(": unknown field"));
    return PresetJson::read(json.value(QStringLiteral("videoOutput")),
                            QStringLiteral("videoOutput"), m_videoOutput, error) &&
           PresetJson::read(json.value(QStringLiteral("audioOutput")),
                            QStringLiteral("audioOutput"), m_audioOutput, error) &&
           PresetJson::read(json.value(QStringLiteral("processing")), QStringLiteral("processing"),
                            m_processing, error) &&
           PresetJson::read(json.value(QStringLiteral("deviceInfo")), QStringLiteral("deviceInfo"),
                            m_deviceInfo, error);
}

bool ProjectPreset::fromJson(const QJsonObject& json, QString* error)
{
    std::unique_ptr<ProjectPreset> copy(cloneForRead());
    if (!copy->readJson(json, error))
        return false;
    assignFrom(*copy);
    return true;
}

bool ProjectPreset::load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return PresetJson::fail(
            error, QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        const int line = bytes.left(parse.offset).count('\n') + 1;
        return PresetJson::fail(
            error, QStringLiteral("%1: line %2: %3").arg(path).arg(line).arg(parse.errorString()));
    }
    if (!doc.isObject())
        return PresetJson::fail(error, path + QStringLiteral(": expected a JSON object"));
    QString why;
    if (!fromJson(doc.object(), &why))
        return PresetJson::fail(error, path + QStringLiteral(": ") + why);
    return true;
}

bool ProjectPreset::save(const QString& path, QString* error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return PresetJson::fail(
            error, QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));
    // Restrict the temporary file before a byte of it is written; the rename keeps the mode.
    if (holdsSecrets() && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return PresetJson::fail(
            error, QStringLiteral("cannot make '%1' private: %2").arg(path, file.errorString()));
    const QByteArray bytes = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return PresetJson::fail(
            error, QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
    return true;
}
