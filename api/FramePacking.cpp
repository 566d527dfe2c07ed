#include "api/FramePacking.h"

#include "common/PixelFormat.h"

#include <cstring>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

QString FramePacking::pack(const strevo::VideoFrame& f, int frameBytes, unsigned char* buffer)
{
    if (!f.planes[0])
        return QStringLiteral("no pixels (planes[0] is null)");
    if (f.pixelFormat == PIX_V210) {
        const int row = pixelFormatV210RowBytes(f.width);
        const int stride = f.strides[0] > 0 ? f.strides[0] : row;
        if (stride < row)
            return QStringLiteral("stride %1 is shorter than a row of %2 bytes")
                .arg(stride)
                .arg(row);
        av_image_copy_plane(buffer, row, f.planes[0], stride, row, f.height);
        return {};
    }
    const auto format = static_cast<AVPixelFormat>(pixelFormatToAV(f.pixelFormat));
    int rows[4] = {};
    av_image_fill_linesizes(rows, format, f.width);
    const int planes = av_pix_fmt_count_planes(format);
    const bool oneBlock = planes > 1 && !f.planes[1];
    bool packed = oneBlock || planes == 1;
    for (int i = 0; i < planes; ++i)
        packed = packed && (f.strides[i] == 0 || f.strides[i] == rows[i]);
    if (packed) { // the common case: one block already in the pipelines' layout
        std::memcpy(buffer, f.planes[0], static_cast<size_t>(frameBytes));
        return {};
    }
    const uint8_t* src[4] = {};
    int strides[4] = {};
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const unsigned char* next = f.planes[0];
    for (int i = 0; i < planes; ++i) {
        strides[i] = f.strides[i] > 0 ? f.strides[i] : rows[i];
        if (oneBlock && i > 0 && f.strides[i] > 0)
            return QStringLiteral("plane %1 has a stride but no pointer").arg(i);
        if (strides[i] < rows[i])
            return QStringLiteral("plane %1's stride %2 is shorter than its row of %3 bytes")
                .arg(i)
                .arg(strides[i])
                .arg(rows[i]);
        src[i] = oneBlock ? next : f.planes[i];
        if (!src[i])
            return QStringLiteral("plane %1 is null").arg(i);
        // In one block the next plane follows this one's last row.
        const bool chroma = i == 1 || i == 2;
        const int height = chroma ? AV_CEIL_RSHIFT(f.height, desc->log2_chroma_h) : f.height;
        next += static_cast<size_t>(strides[i]) * height;
    }
    const int copied =
        av_image_copy_to_buffer(buffer, frameBytes, src, strides, format, f.width, f.height, 1);
    return copied == frameBytes
               ? QString()
               : QStringLiteral("its layout does not match the pixel format's (%1 bytes of %2)")
                     .arg(copied)
                     .arg(frameBytes);
}
