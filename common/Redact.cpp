#include "common/Redact.h"

#include <QByteArray>
#include <QVector>

#include <algorithm>
#include <cstring>

namespace {

// A range of bytes of the UTF-8 text: [begin, end).
struct Span
{
    int begin;
    int end;
};

// Secrets shorter than this may be a piece of an ordinary word or number ("12", "ab"); from
// this length on, a secret is masked even inside a longer word.
constexpr int kMaskInsideWordsFrom = 6;

// Query parameters whose value is masked whole, whatever it is.
const char* const kSecretParameters[] = {"passphrase", "password", "passwd",    "pass",
                                         "pwd",        "key",      "streamkey", "stream_key",
                                         "token",      "secret",   "auth"};

// Names after which the transport libraries and our own messages print a value that can be a
// stream key, a user's password or a passphrase: "key=...", "streamid=...", librtmp's
// "Playpath : ...", "app      : ...", "tcUrl: ...", libavformat's "fname = ...".
const char* const kFieldNames[] = {
    "key",      "streamkey", "stream_key", "streamid", "stream", "streamname", "name", "fname",
    "playpath", "play",      "publish",    "app",      "tcurl",  "path",       "url",  "passphrase",
    "password", "passwd",    "pass",       "pwd",      "token",  "secret",     "auth", "val"};
// Of these, the ones librtmp also prints with only a space before the value ("Invalid
// playpath <name>", "sending play <name>").
const char* const kVerbFields[] = {"playpath", "play", "publish"};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The byte that "%XX" at p encodes (or "\XX", the escape of librtmp's URL options); -1 when
// there is no such escape at p.
int decodedAt(const QByteArray& t, int p)
{
    if (p < 0 || p + 2 >= t.size() || (t[p] != '%' && t[p] != '\\') || !isHex(t[p + 1]) ||
        !isHex(t[p + 2]))
        return -1;
    return hexValue(t[p + 1]) * 16 + hexValue(t[p + 2]);
}

// Letters and digits make words; bytes of non-ASCII characters count as letters.
bool isWordByte(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

bool isWordByte(char c)
{
    return isWordByte(int(static_cast<unsigned char>(c)));
}

// Whether a word goes on right before p. An escape there ("%41") is read both as itself and as
// the byte it encodes; only when both readings continue a word does the word go on.
bool wordBefore(const QByteArray& t, int p)
{
    if (p <= 0)
        return false;
    const bool literal = isWordByte(t[p - 1]);
    const int decoded = decodedAt(t, p - 3);
    return literal && (decoded < 0 || isWordByte(decoded));
}

bool wordAfter(const QByteArray& t, int p)
{
    if (p >= t.size())
        return false;
    const bool literal = isWordByte(t[p]);
    const int decoded = decodedAt(t, p);
    return literal && (decoded < 0 || isWordByte(decoded));
}

bool isAsciiLetter(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The same byte, ASCII letters in either case: a server may quote a key in capitals.
bool sameByte(int a, int b)
{
    return a == b || (isAsciiLetter(a) && (a | 0x20) == (b | 0x20));
}

// Where an occurrence of the secret's bytes s[j..] that starts at p ends, or -1. Each byte
// may stand as itself, as "%XX" in either case or as "\XX"; a space may also stand as '+';
// ASCII letters match in either case.
int matchFrom(const QByteArray& t, int p, const QByteArray& s, int j)
{
    for (; j < s.size(); ++j) {
        if (p >= t.size())
            return -1;
        const int decoded = decodedAt(t, p);
        const int want = static_cast<unsigned char>(s[j]);
        const bool literal =
            sameByte(static_cast<unsigned char>(t[p]), want) || (s[j] == ' ' && t[p] == '+');
        if (decoded >= 0 && sameByte(decoded, want)) {
            if (!literal) {
                p += 3;
                continue;
            }
            // "%25" for a secret's '%' ("\5c" for a backslash): the escape, or the character
            // followed by the secret's next two.
            const int end = matchFrom(t, p + 3, s, j + 1);
            if (end >= 0)
                return end;
        } else if (!literal) {
            return -1;
        }
        ++p;
    }
    return p;
}

bool startsWithNoCase(const QByteArray& t, int p, const char* name)
{
    const int length = int(std::strlen(name));
    if (p + length > t.size())
        return false;
    for (int i = 0; i < length; ++i)
        if ((t[p + i] | 0x20) != name[i] && t[p + i] != name[i])
            return false;
    return true;
}

bool endsUrl(char c)
{
    return isSpace(c) || c == '"' || c == '\'' || c == '`' || c == '<' || c == '>' ||
           static_cast<unsigned char>(c) < 0x20;
}

// URLs: the user info is masked whole; what follows the first path segment (the rest of the
// path, the query, the fragment) is a place where a secret can stand.
void scanUrls(const QByteArray& t, QVector<Span>* places, QVector<Span>* masks)
{
    int from = 0;
    for (int mark; (mark = t.indexOf("://", from)) >= 0;) {
        const int start = mark + 3;
        int end = start;
        while (end < t.size() && !endsUrl(t[end]))
            ++end;
        int authority = start;
        while (authority < end && t[authority] != '/' && t[authority] != '?' && t[authority] != '#')
            ++authority;
        const int at = t.lastIndexOf('@', authority - 1);
        if (at > start)
            masks->append({start, at});
        int rest = authority;
        if (rest < end && t[rest] == '/') {
            ++rest;
            while (rest < end && t[rest] != '/' && t[rest] != '?' && t[rest] != '#')
                ++rest;
        }
        if (rest < end)
            places->append({rest, end});
        from = std::max(end, start);
    }
}

// "?passphrase=..." and the like: the value is masked whole.
void scanSecretParameters(const QByteArray& t, QVector<Span>* masks)
{
    for (int i = 0; i < t.size(); ++i) {
        if (t[i] != '?' && t[i] != '&' && t[i] != ';')
            continue;
        for (const char* name : kSecretParameters) {
            const int value = i + 1 + int(std::strlen(name));
            if (!startsWithNoCase(t, i + 1, name) || value >= t.size() || t[value] != '=')
                continue;
            int end = value + 1;
            while (end < t.size() && t[end] != '&' && t[end] != ';' && !isSpace(t[end]))
                ++end;
            masks->append({value + 1, end});
            break;
        }
    }
}

bool isQuote(char c)
{
    return c == '"' || c == '\'' || c == '`' || c == '<';
}

char closingQuote(char c)
{
    return c == '<' ? '>' : c;
}

bool endsValue(char c)
{
    return isSpace(c) || isQuote(c) || c == '>' || c == '&' || c == ';' || c == ',' || c == ')' ||
           c == ']';
}

// Values of named fields: "name=value", "name: value", "\"name\": \"value\"", and for librtmp's
// verbs also "name value".
void scanFields(const QByteArray& t, QVector<Span>* places)
{
    for (int i = 0; i < t.size(); ++i) {
        if (wordBefore(t, i) || !isWordByte(t[i]))
            continue;
        for (const char* name : kFieldNames) {
            int k = i + int(std::strlen(name));
            if (!startsWithNoCase(t, i, name) ||
                (k < t.size() && (isWordByte(t[k]) || t[k] == '_')))
                continue;
            if (k < t.size() && (t[k] == '"' || t[k] == '\''))
                ++k; // the closing quote of a quoted name
            const int beforeSpaces = k;
            while (k < t.size() && (t[k] == ' ' || t[k] == '\t'))
                ++k;
            if (k < t.size() && (t[k] == '=' || t[k] == ':')) {
                ++k;
                while (k < t.size() && (t[k] == ' ' || t[k] == '\t'))
                    ++k;
            } else if (k == beforeSpaces ||
                       std::none_of(std::begin(kVerbFields), std::end(kVerbFields),
                                    [&](const char* verb) { return !std::strcmp(verb, name); })) {
                continue;
            }
            if (k >= t.size())
                break;
            int end = k;
            if (isQuote(t[k])) {
                const int close = t.indexOf(closingQuote(t[k]), k + 1);
                ++k;
                end = close < 0 ? t.size() : close;
            } else {
                while (end < t.size() && !endsValue(t[end]))
                    ++end;
            }
            if (end > k)
                places->append({k, end});
            break;
        }
    }
}

bool overlaps(const QVector<Span>& spans, int begin, int end)
{
    return std::any_of(spans.begin(), spans.end(),
                       [&](const Span& s) { return s.begin < end && begin < s.end; });
}

bool quoted(const QByteArray& t, int begin, int end)
{
    return begin > 0 && end < t.size() && isQuote(t[begin - 1]) &&
           t[end] == closingQuote(t[begin - 1]);
}

} // namespace

QString redactSecrets(const QString& text, const QStringList& secrets)
{
    const bool named =
        std::any_of(secrets.begin(), secrets.end(), [](const QString& s) { return !s.isEmpty(); });
    if (!named && !text.contains(QLatin1String("://")) && !text.contains(QLatin1Char('=')))
        return text;
    const QByteArray t = text.toUtf8();
    QVector<Span> places;
    QVector<Span> masks;
    scanUrls(t, &places, &masks);
    scanSecretParameters(t, &masks);
    if (named)
        scanFields(t, &places);
    for (const QString& secret : secrets) {
        if (secret.isEmpty())
            continue;
        const QByteArray s = secret.toUtf8();
        const bool insideWords = secret.size() >= kMaskInsideWordsFrom;
        for (int p = 0; p < t.size(); ++p) {
            const int end = matchFrom(t, p, s, 0);
            if (end < 0)
                continue;
            if (insideWords || overlaps(places, p, end) || quoted(t, p, end) ||
                (!wordBefore(t, p) && !wordAfter(t, end))) {
                masks.append({p, end});
                p = end - 1;
            }
        }
    }
    if (masks.isEmpty())
        return text;
    std::sort(masks.begin(), masks.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    QByteArray out;
    out.reserve(t.size());
    int copied = 0;
    for (int i = 0; i < masks.size();) {
        const int begin = masks[i].begin;
        int end = masks[i].end;
        for (++i; i < masks.size() && masks[i].begin <= end; ++i)
            end = std::max(end, masks[i].end);
        out.append(t.constData() + copied, begin - copied);
        out.append("***");
        copied = end;
    }
    out.append(t.constData() + copied, t.size() - copied);
    return QString::fromUtf8(out);
}
