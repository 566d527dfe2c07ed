#include "platform/mf/MFGuid.h"

#include <cstdio>
#include <cstring>
#include <tuple>

bool guidFromString(const char* text, GUID* out)
{
    if (!text || !out)
        return false;
    const size_t length = std::strlen(text);
    const bool braced = length == 38 && text[0] == '{' && text[37] == '}';
    if (!braced && length != 36)
        return false;
    const char* p = braced ? text + 1 : text;
    // Dashes at their fixed places, hex digits everywhere else.
    for (int i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = p[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex)
            return false;
    }
    unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(p, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                    &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    out->Data1 = d1;
    out->Data2 = static_cast<uint16_t>(d2);
    out->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i)
        out->Data4[i] = static_cast<uint8_t>(b[i]);
    return true;
}

QString guidToString(const GUID& g)
{
    return QString::asprintf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                             g.Data4[5], g.Data4[6], g.Data4[7]);
}

namespace MFGuids {

const char* name(const GUID& key)
{
    struct Named
    {
        const GUID* key;
        const char* name;
    };
#define NAMED(k)                                                                                   \
    {                                                                                              \
        &k, #k                                                                                     \
    }
    static const Named table[] = {
        NAMED(MF_MT_MAJOR_TYPE),           NAMED(MF_MT_SUBTYPE),
        NAMED(MF_MT_FRAME_SIZE),           NAMED(MF_MT_FRAME_RATE),
        NAMED(MF_MT_AVG_BITRATE),          NAMED(MF_MT_MAX_KEYFRAME_SPACING),
        NAMED(MF_MT_INTERLACE_MODE),       NAMED(MF_MT_PIXEL_ASPECT_RATIO),
        NAMED(MF_MT_MPEG2_LEVEL),          NAMED(MF_MT_MPEG2_PROFILE),
        NAMED(MF_MT_MPEG_SEQUENCE_HEADER), NAMED(MFMediaType_Video),
        NAMED(MFVideoFormat_NV12),         NAMED(MFVideoFormat_H264),
        NAMED(MFVideoFormat_HEVC),
    };
#undef NAMED
    for (const Named& n : table)
        if (*n.key == key)
            return n.name;
    return nullptr;
}

} // namespace MFGuids
