#include "codec/video/VideoRecordCheck.h"

#include "common/CodecModel.h"
#include "common/CodecTable.h"
#include "common/StrevoLog.h"

#include <QDebug>

#include <climits>
#include <cmath>

bool VideoRecordCheck::check(const CodecModel::VideoCodec& v, const char* encoder, Needs needs)
{
    const CodecTable::Entry* entry = CodecTable::find(v.codecName);
    const char* problem = nullptr;
    if (!entry || entry->kind != CodecTable::Kind::Video)
        problem = "not a video codec name";
    else if (v.width <= 0 || v.height <= 0)
        problem = "size must be positive";
    else if (v.width > entry->maxSide || v.height > entry->maxSide ||
             static_cast<long long>(v.width) * v.height > CodecTable::kMaxVideoPixels)
        problem = "size is above what the encoder codes";
    else if ((needs.evenWidth && v.width % 2) || (needs.evenHeight && v.height % 2))
        problem = "size must be even";
    else if (!std::isfinite(v.frameRate) || v.frameRate < kMinFrameRate ||
             v.frameRate > kMaxFrameRate)
        problem = "frame rate must be from 0.1 to 1000";
    else if (needs.bitrate && v.bitrate <= 0)
        problem = "bitrate must be above 0";
    else if (v.bitrate > INT_MAX / 1000)
        problem = "bitrate is too large";
    else if (v.keyframeInterval < 0)
        problem = "key-frame interval must not be negative";
    else if (v.keyframeInterval * v.frameRate >= static_cast<double>(INT_MAX))
        problem = "key-frame interval is too long";
    if (problem)
        qCWarning(lcStrevo,
                  "%s: cannot encode %s at %dx%d, %g fps, %d kbit/s, key frame every %d s: %s",
                  encoder, qPrintable(v.codecName), v.width, v.height, v.frameRate, v.bitrate,
                  v.keyframeInterval, problem);
    return problem == nullptr;
}

int VideoRecordCheck::keyFrameDistance(const CodecModel::VideoCodec& video)
{
    const AVRational rate = CodecTable::frameRate(video.frameRate);
    if (rate.den <= 0)
        return 0;
    return static_cast<int>(static_cast<long long>(video.keyframeInterval) * rate.num / rate.den);
}

unsigned int VideoRecordCheck::worstPacketSize(const CodecModel::VideoCodec& video)
{
    const size_t picture = static_cast<size_t>(video.width) * video.height * 3 / 2;
    return static_cast<unsigned int>(picture * 2 + 4096);
}
