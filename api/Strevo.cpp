#include "api/Strevo.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

struct CodecIdEntry
{
    const char* name;
    AVCodecID id;
};

// Searched in order; the first matching name wins. The hardware HEVC names are listed one by
// one: "HEVC(AMF)" has no entry and maps to no codec.
constexpr CodecIdEntry kCodecIds[] = {
    {"X264", AV_CODEC_ID_H264},
    {"H264", AV_CODEC_ID_H264},
    {"H264(QuickSync)", AV_CODEC_ID_H264},
    {"H264(NVENC)", AV_CODEC_ID_H264},
    {"H264(AMF)", AV_CODEC_ID_H264},
    {"HEVC(QuickSync)", AV_CODEC_ID_HEVC},
    {"HEVC(NVENC)", AV_CODEC_ID_HEVC},
    {"VP8", AV_CODEC_ID_VP8},
    {"VP9", AV_CODEC_ID_VP9},
    {"QuickTime Animation (RLE)", AV_CODEC_ID_QTRLE},
    {"MJPEG", AV_CODEC_ID_MJPEG},
    {"Apple ProRes", AV_CODEC_ID_PRORES},
    {"AAC", AV_CODEC_ID_AAC},
    {"MP3", AV_CODEC_ID_MP3},
    {"AC3", AV_CODEC_ID_AC3},
    {"VORBIS", AV_CODEC_ID_VORBIS},
    {"PCM", AV_CODEC_ID_PCM_S16LE},
};

} // namespace

Strevo::Strevo(QObject* parent) : QObject(parent) {}

Strevo::~Strevo() = default;

int Strevo::codecIdFromName(const QString& name)
{
    for (const CodecIdEntry& entry : kCodecIds) {
        if (name == QLatin1String(entry.name))
            return static_cast<int>(entry.id);
    }
    return 0;
}
