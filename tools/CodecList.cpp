#include "tools/CodecList.h"

#include "api/Strevo.h"
#include "tools/ExitStatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace CodecList {

namespace {

bool isHardware(CodecTable::Backend backend)
{
    return backend == CodecTable::Backend::Nvenc || backend == CodecTable::Backend::MFVideo ||
           backend == CodecTable::Backend::Amf;
}

std::vector<const CodecTable::Entry*> usableEntries()
{
    std::vector<const CodecTable::Entry*> list;
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (int i = 0; i < count; ++i)
        if (usable(entries[i]))
            list.push_back(&entries[i]);
    return list;
}

QStringList containerNames()
{
    QStringList names;
    int count = 0;
    const CodecTable::ContainerName* list = CodecTable::containers(&count);
    for (int i = 0; i < count; ++i)
        names << QLatin1String(list[i].name);
    return names;
}

QStringList fitting(const CodecTable::Entry& entry)
{
    QStringList names;
    for (const QString& container : containerNames())
        if (CodecTable::fits(entry, container))
            names << container;
    return names;
}

QStringList words(const char* const* list)
{
    QStringList out;
    for (; list && *list; ++list)
        out << QLatin1String(*list);
    return out;
}

int distance(const QString& a, const QString& b)
{
    const QString x = a.toLower(), y = b.toLower();
    std::vector<int> row(size_t(y.size()) + 1);
    for (int j = 0; j <= y.size(); ++j)
        row[size_t(j)] = j;
    for (int i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= y.size(); ++j) {
            const int above = row[size_t(j)];
            row[size_t(j)] = std::min({above + 1, row[size_t(j) - 1] + 1,
                                       diagonal + (x.at(i - 1) == y.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[size_t(y.size())];
}

const char* kindWord(const CodecTable::Entry& entry)
{
    return entry.kind == CodecTable::Kind::Video ? "video" : "audio";
}

QJsonObject codecJson(const CodecTable::Entry& entry, bool details)
{
    const QString name = QLatin1String(entry.name);
    QJsonObject out{{QStringLiteral("name"), name},
                    {QStringLiteral("containers"), QJsonArray::fromStringList(fitting(entry))}};
    if (entry.catalogueKey != 0)
        out.insert(QStringLiteral("key"), entry.catalogueKey);
    const QString device = Strevo::codecDevice(name);
    if (!device.isEmpty())
        out.insert(QStringLiteral("device"), device);
    if (details) {
        out.insert(QStringLiteral("kind"), QLatin1String(kindWord(entry)));
        if (entry.presets)
            out.insert(QStringLiteral("presets"), QJsonArray::fromStringList(words(entry.presets)));
        if (entry.tunes)
            out.insert(QStringLiteral("tunes"), QJsonArray::fromStringList(words(entry.tunes)));
    }
    return out;
}

void printCodecLine(const CodecTable::Entry& entry)
{
    const QString device = Strevo::codecDevice(QLatin1String(entry.name));
    std::printf("  %-26s %s%s\n", entry.name, qPrintable(fitting(entry).join(QLatin1Char(' '))),
                device.isEmpty() ? "" : qPrintable(QStringLiteral("  (%1)").arg(device)));
}

int printAll(bool json)
{
    const auto entries = usableEntries();
    QJsonObject root;
    const struct
    {
        CodecTable::Kind kind;
        const char *key, *title;
    } kinds[] = {{CodecTable::Kind::Video, "videoCodecs", "video codecs"},
                 {CodecTable::Kind::Audio, "audioCodecs", "audio codecs"}};
    for (const auto& k : kinds) {
        QJsonArray list;
        if (!json)
            std::printf("%s%s (name, containers):\n", k.kind == CodecTable::Kind::Video ? "" : "\n",
                        k.title);
        for (const CodecTable::Entry* entry : entries) {
            if (entry->kind != k.kind)
                continue;
            list.append(codecJson(*entry, false));
            if (!json)
                printCodecLine(*entry);
        }
        root.insert(QLatin1String(k.key), list);
    }
    QJsonArray containers;
    if (!json)
        std::printf("\ncontainers:\n");
    int count = 0;
    const CodecTable::ContainerName* list = CodecTable::containers(&count);
    for (int i = 0; i < count; ++i) {
        containers.append(QJsonObject{{QStringLiteral("key"), int(list[i].key)},
                                      {QStringLiteral("name"), QLatin1String(list[i].name)}});
        if (!json)
            std::printf("  %s\n", list[i].name);
    }
    root.insert(QStringLiteral("containers"), containers);
    if (json)
        std::fputs(QJsonDocument(root).toJson(QJsonDocument::Indented).constData(), stdout);
    return exitCode(ExitStatus::Done);
}

int printCodec(const CodecTable::Entry& entry, bool json)
{
    const QJsonObject object = codecJson(entry, true);
    if (json) {
        std::fputs(QJsonDocument(object).toJson(QJsonDocument::Indented).constData(), stdout);
        return exitCode(ExitStatus::Done);
    }
    std::printf("%s: %s codec\n", entry.name, kindWord(entry));
    const QString device = object.value(QStringLiteral("device")).toString();
    if (!device.isEmpty())
        std::printf("  device:     %s\n", qPrintable(device));
    if (entry.presets)
        std::printf("  presets:    %s\n", qPrintable(words(entry.presets).join(QLatin1Char(' '))));
    if (entry.tunes)
        std::printf("  tunes:      %s\n", qPrintable(words(entry.tunes).join(QLatin1Char(' '))));
    std::printf("  containers: %s\n", qPrintable(fitting(entry).join(QLatin1Char(' '))));
    return exitCode(ExitStatus::Done);
}

int printContainer(const QString& container, bool json)
{
    QJsonObject root{{QStringLiteral("name"), container}};
    const struct
    {
        CodecTable::Kind kind;
        const char *key, *title;
    } kinds[] = {{CodecTable::Kind::Video, "videoCodecs", "video"},
                 {CodecTable::Kind::Audio, "audioCodecs", "audio"}};
    if (!json)
        std::printf("%s: container\n", qPrintable(container));
    for (const auto& k : kinds) {
        QStringList names;
        for (const CodecTable::Entry* entry : usableEntries())
            if (entry->kind == k.kind && CodecTable::fits(*entry, container))
                names << QLatin1String(entry->name);
        root.insert(QLatin1String(k.key), QJsonArray::fromStringList(names));
        if (!json)
            std::printf("  %s: %s\n", k.title,
                        names.isEmpty() ? "none" : qPrintable(names.join(QStringLiteral(", "))));
    }
    if (json)
        std::fputs(QJsonDocument(root).toJson(QJsonDocument::Indented).constData(), stdout);
    return exitCode(ExitStatus::Done);
}

} // namespace

bool usable(const CodecTable::Entry& entry)
{
    if (entry.backend == CodecTable::Backend::None)
        return false;
    if (!isHardware(entry.backend))
        return true;
    // The catalogue lists a hardware name only where its probe found the device.
    if (entry.catalogueKey == 0)
        return false;
    const QMap<int, QString> listed = entry.kind == CodecTable::Kind::Video
                                          ? Strevo::availableVideoCodecs()
                                          : Strevo::availableAudioCodecs();
    return listed.contains(entry.catalogueKey);
}

QStringList usableNames(CodecTable::Kind kind)
{
    QStringList names;
    for (const CodecTable::Entry* entry : usableEntries())
        if (entry->kind == kind)
            names << QLatin1String(entry->name);
    return names;
}

const CodecTable::Entry* find(const QString& name)
{
    int count = 0;
    const CodecTable::Entry* entries = CodecTable::entries(&count);
    for (int i = 0; i < count; ++i)
        if (name.compare(QLatin1String(entries[i].name), Qt::CaseInsensitive) == 0)
            return &entries[i];
    return nullptr;
}

QString containerName(const QString& name)
{
    for (const QString& container : containerNames())
        if (name.compare(container, Qt::CaseInsensitive) == 0)
            return container;
    return QString();
}

QStringList nearest(const QString& name, const QStringList& candidates, int max)
{
    QStringList sorted = candidates;
    std::stable_sort(sorted.begin(), sorted.end(), [&](const QString& a, const QString& b) {
        return distance(name, a) < distance(name, b);
    });
    return sorted.mid(0, max);
}

int print(const QString& name, bool json)
{
    if (name.isEmpty())
        return printAll(json);
    const CodecTable::Entry* entry = find(name);
    if (entry && usable(*entry))
        return printCodec(*entry, json);
    const QString container = containerName(name);
    if (!container.isEmpty())
        return printContainer(container, json);
    const QStringList known = usableNames(CodecTable::Kind::Video) +
                              usableNames(CodecTable::Kind::Audio) + containerNames();
    std::fprintf(stderr, "strevo-cli: --list: no codec or container '%s' here (nearest: %s)\n",
                 qPrintable(name), qPrintable(nearest(name, known, 3).join(QStringLiteral(", "))));
    return exitCode(ExitStatus::BadInput);
}

} // namespace CodecList
