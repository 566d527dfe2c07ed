#include "muxer/RecordingName.h"

#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>

namespace {

const int kLastSuffix = 999;

QString bitrateWord(const CodecModel::VideoCodec& video)
{
    if (video.codecName == QLatin1String("DV25"))
        return QStringLiteral("%1Kbps").arg(28770);
    if (video.codecName == QLatin1String("MJPEG"))
        return QStringLiteral("%1Mbps").arg(video.bitrate / 1000);
    if (video.codecName == QLatin1String("Apple ProRes"))
        return QString::fromLatin1(proResProfileName(std::clamp(video.codecProfile, 0, 3)));
    return QStringLiteral("%1Kbps").arg(video.bitrate);
}

QString resolutionWord(const CodecModel::VideoCodec& video)
{
    if (video.codecName == QLatin1String("DV25"))
        return QStringLiteral("720x480");
    return QStringLiteral("%1x%2").arg(video.width).arg(video.height);
}

QString sourceWord(const CodecPreset& preset)
{
    if (!preset.sourceName.isEmpty())
        return preset.sourceName;
    const QMap<int, int> sources = preset.videoSource();
    if (sources.isEmpty())
        return QString();
    switch (sources.firstKey()) {
    case 0:
        return QCoreApplication::translate("RecordingName", "PGM");
    case 1:
        return QCoreApplication::translate("RecordingName", "PGM CLEAN");
    case 2:
        return QCoreApplication::translate("RecordingName", "PVW");
    default:
        return QString();
    }
}

} // namespace

QString RecordingName::expandTemplate(const CodecPreset& preset)
{
    return expandTemplate(preset, QDateTime::currentDateTime());
}

QString RecordingName::expandTemplate(const CodecPreset& preset, const QDateTime& now)
{
    const CodecModel::VideoCodec& video = preset.videoCodec();
    QString title = preset.local().fileNameTemplate;
    if (title.isEmpty())
        title = QCoreApplication::translate("RecordingName", "Untitled");

    const QTime t = now.time();
    // Each part after a '%' starts with its token letter. The text before the first '%' is a
    // part too: its first letter forms a token as well, which only matters when that token
    // also occurs after a '%'.
    const QStringList parts = title.split(QLatin1Char('%'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QString token = (QLatin1Char('%') + part).left(2);
        QString value;
        switch (token.at(1).unicode()) {
        case 'Y':
            value = now.toString(QStringLiteral("yyyy"));
            break;
        case 'M':
            value = now.toString(QStringLiteral("MM"));
            break;
        case 'D':
            value = now.toString(QStringLiteral("dd"));
            break;
        case 'h':
            value = t.toString(QStringLiteral("hh"));
            break;
        case 'm':
            value = t.toString(QStringLiteral("mm"));
            break;
        case 's':
            value = t.toString(QStringLiteral("ss"));
            break;
        case 'C':
            value = video.codecName;
            break;
        case 'B':
            value = bitrateWord(video);
            break;
        case 'R':
            value = resolutionWord(video);
            break;
        case 'P':
            value = preset.projectName;
            break;
        case 'S':
            value = sourceWord(preset);
            break;
        default:
            continue;
        }
        title.replace(token, value);
    }
    // The name must stay a single file name inside the recording folder: a '/' from the
    // template or a token (project, source names) would reach other folders, and a NUL would
    // cut the path short when it is handed to the C library, dropping the extension.
    title.replace(QLatin1Char('/'), QLatin1Char('_'));
    title.replace(QChar(0), QLatin1Char('_'));
    return title;
}

QString RecordingName::choosePath(const CodecPreset& preset, QString* error)
{
    return choosePath(preset, QDateTime::currentDateTime(), error);
}

QString RecordingName::choosePath(const CodecPreset& preset, const QDateTime& now, QString* error)
{
    QString folder = preset.local().folder;
    if (!folder.isEmpty()) {
        folder = QDir::cleanPath(folder);
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
    }
    const QString base = folder + expandTemplate(preset, now);
    const QString ext = preset.container().format;

    QString path = base + QLatin1Char('.') + ext;
    for (int n = 2; QFileInfo::exists(path); ++n) {
        if (n > kLastSuffix) {
            if (error)
                *error = QStringLiteral("all names for '") + base + QLatin1Char('.') + ext +
                         QStringLiteral("' up to ' %1' are taken").arg(kLastSuffix);
            return QString();
        }
        // One-pass arg(): '%' in the name must not be taken for a placeholder.
        path = QStringLiteral("%1 %2.%3").arg(base, QString::number(n), ext);
    }

    const QFileInfo info(path);
    const QDir dir = info.dir();
    if (!dir.exists() && !QDir().mkdir(dir.absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create folder '%1'").arg(dir.absolutePath());
        return QString();
    }
    if (error)
        error->clear();
    return QDir::cleanPath(info.absoluteFilePath());
}

QString RecordingName::nextFreePath(const QString& path)
{
    const QFileInfo info(path);
    const QString ext = info.suffix();
    const QString base = ext.isEmpty() ? path : path.left(path.size() - ext.size() - 1);
    for (int n = 2; n <= kLastSuffix; ++n) {
        const QString candidate =
            ext.isEmpty() ? QStringLiteral("%1 %2").arg(base, QString::number(n))
                          : QStringLiteral("%1 %2.%3").arg(base, QString::number(n), ext);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}
