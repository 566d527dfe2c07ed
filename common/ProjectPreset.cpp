#include "common/ProjectPreset.h"

#include "common/PresetJson.h"

#include <QFile>
#include <QFileInfo>
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

namespace {

// The mode a new file gets from open(2): 0666 less the process's umask (read without
// changing it, which umask(2) cannot do).
QFileDevice::Permissions newFilePermissions()
{
    unsigned mask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("Umask:"))
                mask = line.mid(6).trimmed().toUInt(nullptr, 8);
    const unsigned mode = 0666 & ~mask;
    // Qt's flags hold the octal digits in hex nibbles: other 0x00f, group 0x0f0, owner
    // 0xf000 (and the same for the current user, 0x0f00).
    const unsigned owner = (mode >> 6) & 7, group = (mode >> 3) & 7, other = mode & 7;
    return QFileDevice::Permissions(
        static_cast<int>(owner << 12 | owner << 8 | group << 4 | other));
}

} // namespace

bool ProjectPreset::save(const QString& path, QString* error) const
{
    // Unbuffered, so that a write that fails (a full volume) is seen here and not lost in a
    // final flush.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return PresetJson::fail(
            error, QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));
    // The temporary file gets its final mode before a byte is written; the rename keeps it.
    // Secrets: the owner only; otherwise the mode of the file it replaces, or a new file's.
    const QFileDevice::Permissions mode = holdsSecrets()
                                              ? QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadUser | QFileDevice::WriteUser
                                          : QFileInfo::exists(path) ? QFile::permissions(path)
                                                                    : newFilePermissions();
    if (!file.setPermissions(mode))
        return PresetJson::fail(
            error, QStringLiteral("cannot set the mode of '%1': %2").arg(path, file.errorString()));
    const QByteArray bytes = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return PresetJson::fail(
            error, QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
    return true;
}
