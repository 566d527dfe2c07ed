#include "muxer/RecordingName.h"

#include "common/CodecPreset.h"
#include "common/CodecTable.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstring>

namespace {

const int kLastSuffix = 999;
// Longest file name (one path component) Linux takes, in bytes (NAME_MAX). Names are UTF-8 on
// disk, so a character may take up to four of them.
const qint64 kMaxNameBytes = 255;
// Error and warning texts show names and templates up to this many characters.
const int kShownChars = 48;

// The codec's naming data; an unknown name is spelt as the record says.
const CodecTable::Entry& namingOf(const CodecModel::VideoCodec& video)
{
    static const CodecTable::Entry plain{};
    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    return entry ? *entry : plain;
}

QString bitrateWord(const CodecModel::VideoCodec& video)
{
    const CodecTable::Entry& codec = namingOf(video);
    const int kbps = codec.fixedKbps > 0 ? codec.fixedKbps : video.bitrate;
    switch (codec.rateWord) {
    case CodecTable::RateWord::Mbps:
        return QStringLiteral("%1Mbps").arg(kbps / 1000);
    case CodecTable::RateWord::ProResProfile:
        return QString::fromLatin1(proResProfileName(std::clamp(video.codecProfile, 0, 3)));
    case CodecTable::RateWord::Kbps:
        break;
    }
    return QStringLiteral("%1Kbps").arg(kbps);
}

QString resolutionWord(const CodecModel::VideoCodec& video)
{
    const CodecTable::Entry& codec = namingOf(video);
    if (codec.fixedWidth > 0 && codec.fixedHeight > 0)
        return QStringLiteral("%1x%2").arg(codec.fixedWidth).arg(codec.fixedHeight);
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

QString untitled()
{
    return QCoreApplication::translate("RecordingName", "Untitled");
}

// True for text a file name cannot be made of: nothing, or only blanks and dots (".", "..",
// a hidden or an invisible name).
bool isBlank(QStringView text)
{
    for (const QChar c : text) {
        if (!c.isSpace() && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

// `text` for a message: its first kShownChars characters and "…" when it is longer or when
// it is only the start of a longer text (`whole` false). Never cut inside a surrogate pair.
QString shown(const QString& text, bool whole = true)
{
    if (text.size() <= kShownChars && whole)
        return text;
    int n = std::min(int(text.size()), kShownChars);
    if (n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n) + QChar(0x2026);
}

// A token's value or a run of template text, with what expansion needs to know about it.
struct Piece
{
    Piece() = default;
    explicit Piece(const QString& t) : text(t), bytes(t.toUtf8().size()), blank(isBlank(t)) {}
    QString text;
    qint64 bytes = 0; // UTF-8
    bool blank = true;
};

const char kTokenLetters[] = "YMDhmsCBRPS";
const int kTokenCount = sizeof(kTokenLetters) - 1;

// The index of the token `%<letter>` in kTokenLetters, -1 for text that is no token.
int tokenIndex(QChar letter)
{
    if (letter.unicode() >= 0x80 || letter.isNull())
        return -1;
    const char* found = std::strchr(kTokenLetters, letter.toLatin1());
    return found ? int(found - kTokenLetters) : -1;
}

std::array<Piece, kTokenCount> tokenValues(const CodecPreset& preset, const QDateTime& now)
{
    const CodecModel::VideoCodec& video = preset.videoCodec();
    const QTime t = now.time();
    return {Piece(now.toString(QStringLiteral("yyyy"))),
            Piece(now.toString(QStringLiteral("MM"))),
            Piece(now.toString(QStringLiteral("dd"))),
            Piece(t.toString(QStringLiteral("hh"))),
            Piece(t.toString(QStringLiteral("mm"))),
            Piece(t.toString(QStringLiteral("ss"))),
            Piece(video.codecName),
            Piece(bitrateWord(video)),
            Piece(resolutionWord(video)),
            Piece(preset.projectName),
            Piece(sourceWord(preset))};
}

struct Expansion
{
    // The whole name, or when it is longer than any file name can be, only its start, enough
    // for an error to show.
    QString name;
    qint64 bytes = 0; // UTF-8 size of the whole name
    bool whole() const { return bytes <= kMaxNameBytes; }
};

// The template expanded in one pass: each token is replaced by its value and a value is never
// scanned again, so a project name "%Y" stays "%Y" and the size of the result is bounded by the
// template's length times the longest value. The name is built only while it can still fit
// in a file name; beyond, the bytes are only counted, so a hostile template ends at once.
Expansion expandName(const CodecPreset& preset, const QDateTime& now)
{
    const QString& pattern = preset.local().fileNameTemplate;
    Expansion out;
    if (pattern.isEmpty()) {
        out.name = untitled();
        out.bytes = out.name.toUtf8().size();
        return out;
    }

    const std::array<Piece, kTokenCount> values = tokenValues(preset, now);
    bool blank = true;
    const auto add = [&](QStringView text, qint64 bytes, bool textBlank) {
        out.bytes += bytes;
        blank = blank && textBlank;
        if (out.bytes <= kMaxNameBytes)
            out.name.append(text.data(), int(text.size()));
        else if (out.name.size() < kShownChars) // the start an error shows
            out.name.append(text.data(), std::min(int(text.size()), kShownChars - out.name.size()));
    };
    const int size = pattern.size();
    for (int i = 0; i < size;) {
        if (pattern.at(i) == QLatin1Char('%') && i + 1 < size) {
            const int token = tokenIndex(pattern.at(i + 1));
            if (token >= 0) {
                const Piece& value = values[size_t(token)];
                add(value.text, value.bytes, value.blank);
                i += 2;
                continue;
            }
        }
        // Text as written up to the next '%': a stray '%' is text, and the character after it
        // is looked at again, so "%%Y" is '%' and the year.
        int end = pattern.indexOf(QLatin1Char('%'), i + 1);
        if (end < 0)
            end = size;
        const QStringView run = QStringView(pattern).mid(i, end - i);
        add(run, run.toUtf8().size(), isBlank(run));
        i = end;
    }

    if (blank) {
        out.name = untitled();
        out.bytes = out.name.toUtf8().size();
        qCWarning(lcStrevo,
                  "RecordingName: template '%s' expanded to nothing usable as a file name; "
                  "using '%s'",
                  qUtf8Printable(shown(pattern)), qUtf8Printable(out.name));
        return out;
    }
    // The name must stay a single file name inside the recording folder: a '/' from the
    // template or a token (project, source names) would reach other folders, and a NUL would
    // cut the path short when it is handed to the C library, dropping the extension. Both
    // become one-byte '_', so the size stays.
    out.name.replace(QLatin1Char('/'), QLatin1Char('_'));
    out.name.replace(QChar(0), QLatin1Char('_'));
    return out;
}

QString tooLong(const QString& what, const QString& name, qint64 bytes)
{
    return QStringLiteral("%1 '%2' is %3 bytes; at most %4 fit in a file name")
        .arg(what, name, QString::number(bytes), QString::number(kMaxNameBytes));
}

} // namespace

QString RecordingName::expandTemplate(const CodecPreset& preset, const QDateTime& now)
{
    const Expansion e = expandName(preset, now);
    return e.whole() ? e.name : QString();
}

QString RecordingName::choosePath(const CodecPreset& preset, const QDateTime& now, QString* error)
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return QString();
    };

    QString folder = preset.local().folder;
    if (!folder.isEmpty()) {
        folder = QDir::cleanPath(folder);
        for (const QString& part : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            const qint64 bytes = part.toUtf8().size();
            if (bytes > kMaxNameBytes)
                return fail(tooLong(QStringLiteral("folder name"), shown(part), bytes));
        }
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
    }
    const Expansion name = expandName(preset, now);
    const QString ext = preset.container().format;
    const QString dotExt = QLatin1Char('.') + ext;
    // The limit holds for the name as it goes to disk, extension and " 2" suffix included: a
    // longer name is refused rather than cut, as a cut name would lose what tells recordings
    // apart (times, sources at the end) and quietly differ from the template.
    const qint64 bytes = name.bytes + dotExt.toUtf8().size();
    if (bytes > kMaxNameBytes)
        return fail(tooLong(QStringLiteral("recording name"),
                            shown(name.name, name.whole()) + dotExt, bytes));

    const QString base = folder + name.name;
    QString path = base + dotExt;
    for (int n = 2; QFileInfo::exists(path); ++n) {
        if (n > kLastSuffix)
            return fail(QStringLiteral("all names for '") + base + dotExt +
                        QStringLiteral("' up to ' %1' are taken").arg(kLastSuffix));
        // One-pass arg(): '%' in the name must not be taken for a placeholder.
        const QString suffixed = QStringLiteral("%1 %2.%3").arg(name.name, QString::number(n), ext);
        const qint64 suffixedBytes = suffixed.toUtf8().size();
        if (suffixedBytes > kMaxNameBytes)
            return fail(
                tooLong(QStringLiteral("recording name"),
                        QStringLiteral("%1 %2.%3").arg(shown(name.name), QString::number(n), ext),
                        suffixedBytes) +
                QStringLiteral(" (the shorter names are taken)"));
        path = folder + suffixed;
    }

    const QFileInfo info(path);
    const QDir dir = info.dir();
    if (!dir.exists() && !QDir().mkdir(dir.absolutePath()))
        return fail(QStringLiteral("cannot create folder '%1'").arg(dir.absolutePath()));
    if (error)
        error->clear();
    return QDir::cleanPath(info.absoluteFilePath());
}

QString RecordingName::partPath(const CodecPreset& preset, int part, const QString& firstPart,
                                const QDateTime& now, QString* error)
{
    if (preset.transcoding().enabled) {
        QString fixed;
        if (part <= 1)
            fixed = preset.local().recordingPath;
        else if (!firstPart.isEmpty())
            fixed = nextFreePath(firstPart);
        if (!fixed.isEmpty()) {
            if (error)
                error->clear();
            return fixed;
        }
    }
    return choosePath(preset, now, error);
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
        // Suffixes only grow: once one makes the name too long, so do all after it.
        if (QFileInfo(candidate).fileName().toUtf8().size() > kMaxNameBytes)
            return QString();
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}
