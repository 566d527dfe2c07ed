#include "codec/video/VideoRecordCheck.h"

#include "common/CodecModel.h"

#include <QDebug>
#include <cmath>

bool VideoRecordCheck::check(const CodecModel::VideoCodec& v, const char* encoder)
{
    const char* problem = nullptr;
    if (v.width <= 0 || v.height <= 0)
        problem = "size must be positive";
    else if (v.width % 2 || v.height % 2)
        problem = "size must be even for 4:2:0";
    else if (!(v.frameRate > 0.0) || !std::isfinite(v.frameRate))
        problem = "frame rate must be above 0";
    else if (v.bitrate <= 0)
        problem = "bitrate must be above 0";
    else if (v.keyframeInterval < 0)
        problem = "key-frame interval must not be negative";
    if (problem)
        qWarning("%s: cannot encode %dx%d at %g fps and %d kbit/s, key frame every %d s: %s",
                 encoder, v.width, v.height, v.frameRate, v.bitrate, v.keyframeInterval, problem);
    return problem == nullptr;
}
