#include "api/Strevo.h"

#include "common/CodecTable.h"

namespace {

// Whether the machine can run a hardware encoder. Each answers false until that encoder's
// platform layer is built, which then supplies its check here.
bool nvencCheck()
{
    return false;
}
bool amfCheck()
{
    return false;
}
// A Media Foundation encoder transform, by class id.
bool mediaFoundationCheck(const char* classId)
{
    (void)classId;
    return false;
}

const char* const kIntelH264 = "{4BE8D3C0-0515-4A37-AD55-E4BAE19AF471}";
const char* const kIntelHevc = "{BC10864D-2B34-408F-912A-102B1B867B6C}";

} // namespace

Strevo::Strevo(QObject* parent) : QObject(parent) {}

Strevo::~Strevo() = default;

int Strevo::codecIdFromName(const QString& name)
{
    const CodecTable::Entry* entry = CodecTable::find(name);
    return entry ? entry->avCodecId : 0;
}

QMap<int, QString> Strevo::availableVideoCodecs()
{
    QMap<int, QString> list;
    // The two NVENC entries rest on one probe, asked for each.
    if (nvencCheck())
        list.insert(2, QStringLiteral("H264(NVENC)"));
    if (nvencCheck())
        list.insert(16, QStringLiteral("HEVC(NVENC)"));
    if (mediaFoundationCheck(kIntelH264))
        list.insert(1, QStringLiteral("H264(QuickSync)"));
    if (mediaFoundationCheck(kIntelHevc))
        list.insert(8, QStringLiteral("HEVC(QuickSync)"));
    if (amfCheck())
        list.insert(4, QStringLiteral("H264(AMF)"));
    list.insert(8192, QStringLiteral("H264"));
    list.insert(64, QStringLiteral("X264"));
    list.insert(128, QStringLiteral("VP8"));
    list.insert(512, QStringLiteral("QuickTime Animation (RLE)"));
    list.insert(2048, QStringLiteral("MJPEG"));
    list.insert(4096, QStringLiteral("Apple ProRes"));
    return list;
}

QMap<int, QString> Strevo::availableAudioCodecs()
{
    return {{1, QStringLiteral("AAC")}, {2, QStringLiteral("MP3")}, {16, QStringLiteral("PCM")}};
}

QMap<int, QString> Strevo::availableContainers()
{
    return {{1, QStringLiteral("mp4")},    {2, QStringLiteral("mov")},
            {4, QStringLiteral("flv")},    {8, QStringLiteral("ts")},
            {32, QStringLiteral("m2ts")},  {64, QStringLiteral("mkv")},
            {128, QStringLiteral("avi")},  {256, QStringLiteral("wmv")},
            {512, QStringLiteral("webm")}, {1024, QStringLiteral("m3u8")}};
}
