#include "common/Interlace.h"

#include "common/PixelFormat.h"
#include "common/VideoQueue.h"

#include <cstdint>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

// One plane row: out = (above + 2 * row + below + 2) / 4, sample by sample.
void blendRow8(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* out,
               int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>((above[i] + 2 * row[i] + below[i] + 2) >> 2);
}

uint16_t readLE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void blendRow16(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* out,
                int bytes)
{
    for (int i = 0; i + 1 < bytes; i += 2) {
        const unsigned v =
            (readLE16(above + i) + 2u * readLE16(row + i) + readLE16(below + i) + 2u) >> 2;
        out[i] = static_cast<uint8_t>(v);
        out[i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

} // namespace

Interlace::Interlace() = default;
Interlace::~Interlace() = default;

int Interlace::filterFrame(VideoQueue* frame, bool, bool)
{
    if (!frame || !frame->data())
        return 0;
    const int code = frame->format();
    const int width = frame->width();
    const int height = frame->height();
    const int frameSize = pixelFormatFrameSize(code, width, height);
    if (frameSize <= 0 || frame->size() < frameSize)
        return 0;

    const auto fmt = static_cast<AVPixelFormat>(pixelFormatToAV(code));
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
    if (!desc)
        return 0;
    int lines[4] = {0, 0, 0, 0};
    if (av_image_fill_linesizes(lines, fmt, width) < 0)
        return 0;

    // Rows per plane: chroma planes of subsampled YUV are shorter.
    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    int rows[4] = {0, 0, 0, 0};
    for (int c = 0; c < desc->nb_components; ++c) {
        const bool chroma = !rgb && (c == 1 || c == 2);
        rows[desc->comp[c].plane] = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
    }
    const bool wide = desc->comp[0].depth > 8;

    m_output.resize(frameSize);
    const uint8_t* in = frame->data();
    uint8_t* out = m_output.data();
    for (int p = 0; p < 4 && lines[p] > 0; ++p) {
        const int stride = lines[p];
        const int n = rows[p];
        for (int y = 0; y < n; ++y) {
            const uint8_t* row = in + size_t(y) * stride;
            const uint8_t* above = y > 0 ? row - stride : (n > 1 ? row + stride : row);
            const uint8_t* below = y + 1 < n ? row + stride : (n > 1 ? row - stride : row);
            uint8_t* dst = out + size_t(y) * stride;
            if (wide)
                blendRow16(above, row, below, dst, stride);
            else
                blendRow8(above, row, below, dst, stride);
        }
        in += size_t(stride) * n;
        out += size_t(stride) * n;
    }

    return 1;
}

unsigned char* Interlace::data()
{
    return m_output.empty() ? nullptr : m_output.data();
}

int Interlace::size() const
{
    return int(m_output.size());
}
