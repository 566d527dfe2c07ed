#include "codec/video/CodedStream.h"

#include "common/CodecModel.h"
#include "common/CodecTable.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

bool CodedStream::describe(AVCodecParameters* par, const CodecModel::VideoCodec& video,
                           const unsigned char* extraData, size_t extraDataSize)
{
    const CodecTable::Entry* entry = CodecTable::find(video.codecName);
    if (!par || !entry || entry->kind != CodecTable::Kind::Video)
        return false;

    uint8_t* extra = nullptr;
    if (extraData && extraDataSize > 0) {
        extra = static_cast<uint8_t*>(av_mallocz(extraDataSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!extra)
            return false;
        std::memcpy(extra, extraData, extraDataSize);
    }
    av_freep(&par->extradata);
    par->extradata = extra;
    par->extradata_size = extra ? static_cast<int>(extraDataSize) : 0;

    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = static_cast<AVCodecID>(entry->avCodecId);
    par->codec_tag = 0;
    par->format = entry->streamPixelFormat;
    par->width = video.width;
    par->height = video.height;
    par->bit_rate = static_cast<int64_t>(video.bitrate) * 1000;
    par->field_order = video.scanMode == 1   ? AV_FIELD_TT
                       : video.scanMode == 2 ? AV_FIELD_BB
                                             : AV_FIELD_PROGRESSIVE;
    par->sample_aspect_ratio = AVRational{1, 1};
    par->profile = FF_PROFILE_UNKNOWN;
    par->level = FF_LEVEL_UNKNOWN;

    // Annex B: the byte after an SPS's NAL header is profile_idc, two bytes on level_idc.
    for (size_t i = 0; extra && par->codec_id == AV_CODEC_ID_H264 && i + 6 < extraDataSize; ++i) {
        if (extra[i] == 0 && extra[i + 1] == 0 && extra[i + 2] == 1 && (extra[i + 3] & 0x1f) == 7) {
            par->profile = extra[i + 4];
            par->level = extra[i + 6];
            break;
        }
    }
    return true;
}
