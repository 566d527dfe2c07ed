#include "encoder/FrameConversion.h"

#include "codec/video/IVideoCodec.h"
#include "common/CodecModel.h"
#include "common/PixelFormat.h"
#include "common/StrevoLog.h"
#include "common/VideoQueue.h"
#include "common/YuvResampler.h"

#include <QDebug>

FrameConversion::FrameConversion() = default;

FrameConversion::~FrameConversion() = default;

void FrameConversion::reset()
{
    m_resampler.reset();
    m_lastFormat = -1;
    m_warnedTexture = false;
}

bool FrameConversion::convert(const VideoQueue& frame, const CodecModel::VideoCodec& video,
                              int codecFormat, IVideoCodec& codec, Picture* picture)
{
    const int format = frame.format();
    if (format != m_lastFormat) {
        m_resampler.reset();
        m_lastFormat = format;
    }
    if (format == PIX_TEXTURE && !codec.isHWTextureSupport()) {
        if (!m_warnedTexture)
            qCWarning(lcStrevo,
                      "Encoder: %s cannot encode GPU textures; texture frames are dropped",
                      qPrintable(video.codecName));
        m_warnedTexture = true;
        return false;
    }
    if (!m_resampler && format != PIX_TEXTURE &&
        (frame.width() != video.width || frame.height() != video.height || format != codecFormat))
        m_resampler = std::make_unique<YuvResampler>();
    if (m_resampler && format != PIX_TEXTURE) {
        if (!m_resampler->resampleVideo(frame.data(), frame.width(), frame.height(), format,
                                        nullptr, video.width, video.height, codecFormat,
                                        video.scaleMode, false))
            return false;
        picture->data = m_resampler->videoData();
        picture->size = m_resampler->videoDataSize();
        picture->format = codecFormat;
        picture->converted = true;
        return true;
    }
    picture->data = frame.data();
    picture->size = frame.size();
    picture->format = format;
    picture->converted = false;
    return true;
}
