#pragma once

#include <QByteArray>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/error.h>
}

// libav's text for an error code, for log messages.
inline QByteArray avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return QByteArray(text);
}

// Owning pointers for libavcodec objects, each freed the way libavcodec requires.
struct AVCodecContextFree
{
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AVFrameFree
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketFree
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVBSFContextFree
{
    void operator()(AVBSFContext* f) const { av_bsf_free(&f); }
};

using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextFree>;

struct AVCodecParametersFree
{
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
using AVCodecParametersPtr = std::unique_ptr<AVCodecParameters, AVCodecParametersFree>;
