#include "tools/NameTokens.h"

#include <cstring>

namespace NameTokens {

namespace {

struct Token
{
    char letter;
    const char *meaning, *example;
};

// In the order RecordingName reads them; the examples are those of a recording started on
// 7 March 2026 at 14:05:09, X264 at 4000 kbit/s, 1920x1080, in the project "Show".
constexpr Token kTokens[] = {
    {'Y', "year", "2026"},
    {'M', "month (01-12)", "03"},
    {'D', "day of the month", "07"},
    {'h', "hour (00-23)", "14"},
    {'m', "minute", "05"},
    {'s', "second", "09"},
    {'C', "video codec name", "X264"},
    {'B', "bit rate (MJPEG in Mbps, ProRes its profile)", "4000Kbps"},
    {'R', "resolution", "1920x1080"},
    {'P', "project name (the job file's name unless projectName says)", "Show"},
    {'S', "source (PGM, PGM CLEAN, PVW or the output's sourceName)", "PGM"},
};

bool isToken(QChar c)
{
    for (const Token& token : kTokens)
        if (c == QLatin1Char(token.letter))
            return true;
    return false;
}

} // namespace

QString help()
{
    QString text = QStringLiteral(
        "Recording names: local.fileNameTemplate, expanded when a file opens. Tokens (case\n"
        "matters: %M is the month, %m the minute):\n");
    for (const Token& token : kTokens)
        text += QStringLiteral("  %%1  %2  %3\n")
                    .arg(QString(QLatin1Char(token.letter)),
                         QString::fromLatin1(token.meaning).leftJustified(60),
                         QLatin1String(token.example));
    text += QStringLiteral(
        "Example: \"%P %Y-%M-%D %h-%m-%s %C %R\" names the file\n"
        "\"Show 2026-03-07 14-05-09 X264 1920x1080.mp4\".\n"
        "Other text is kept as written. A '%' that starts no token is kept too, and strevo-cli\n"
        "warns with its position; \"%%Y\" is a '%' and the year. A template is one file name:\n"
        "a '/' in it is refused (exit status 2); the folder goes in local.folder. A '/' in a\n"
        "token's value (a project name) becomes '_'. Names are never overwritten: \"Show 2.mp4\"\n"
        "follows \"Show.mp4\".\n");
    return text;
}

bool check(const QString& pattern, QStringList* warnings, QString* error)
{
    const int slash = pattern.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        if (error)
            *error = QStringLiteral("'/' at position %1 of '%2': a recording name is one file "
                                    "name; put the folder in local.folder")
                         .arg(QString::number(slash + 1), pattern);
        return false;
    }
    for (int i = 0; i < pattern.size(); ++i) {
        if (pattern.at(i) != QLatin1Char('%'))
            continue;
        const QChar next = i + 1 < pattern.size() ? pattern.at(i + 1) : QChar();
        if (next == QLatin1Char('%'))
            continue; // a '%' as text: "%%Y" is '%' and the year
        if (isToken(next)) {
            ++i;
            continue;
        }
        if (warnings)
            *warnings << (!next.isNull()
                              ? QStringLiteral("unknown token '%%1' at position %2 of '%3' (kept "
                                               "as written; see --help names)")
                                    .arg(QString(next), QString::number(i + 1), pattern)
                              : QStringLiteral("a lone '%' at position %1 of '%2' (kept as "
                                               "written; see --help names)")
                                    .arg(QString::number(i + 1), pattern));
    }
    return true;
}

} // namespace NameTokens
