#include "common/YuvResampler.h"

#include "common/PixelFormat.h"
#include "common/StrevoLog.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/defs.h>
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

QByteArray formatLabel(int code)
{
    const char* name = pixelFormatName(code);
    return name ? QByteArray(name) : QByteArray::number(code);
}

// The memory layout of a code as a libav format, or AV_PIX_FMT_NONE. Full-range YUV is
// expressed as its limited-range twin plus a range flag, which is how libswscale wants it.
AVPixelFormat layoutFormat(int code, bool* fullRange)
{
    *fullRange = false;
    int av = pixelFormatToAV(code);
    if (av == AV_PIX_FMT_YUVJ420P) {
        av = AV_PIX_FMT_YUV420P;
        *fullRange = true;
    }
    return static_cast<AVPixelFormat>(av);
}

// The format the scaler works in for a layout: the layout itself when libswscale handles it,
// else a planar twin that a staging copy converts from or to; AV_PIX_FMT_NONE when neither.
AVPixelFormat scalingFormat(AVPixelFormat layout, bool output)
{
    if (layout == AV_PIX_FMT_NONE)
        return AV_PIX_FMT_NONE;
    if (output ? sws_isSupportedOutput(layout) : sws_isSupportedInput(layout))
        return layout;
    if (layout == AV_PIX_FMT_NV16)
        return AV_PIX_FMT_YUV422P;
    return AV_PIX_FMT_NONE;
}

bool isAligned(uint8_t* const data[4], const int lines[4], unsigned pointerAlign)
{
    constexpr int kStrideAlign = 32;
    for (int p = 0; p < 4; ++p) {
        if (!data[p])
            continue;
        if (reinterpret_cast<uintptr_t>(data[p]) % pointerAlign || lines[p] % kStrideAlign)
            return false;
    }
    return true;
}

// Copies a picture between the same layout or between NV16 and planar 4:2:2 (either way).
// Negative line sizes are allowed (they read or write bottom-up).
void copyPicture(uint8_t* const dst[4], const int dstLines[4], AVPixelFormat dstFormat,
                 uint8_t* const src[4], const int srcLines[4], AVPixelFormat srcFormat, int width,
                 int height)
{
    if (dstFormat == srcFormat) {
        av_image_copy(const_cast<uint8_t**>(dst), const_cast<int*>(dstLines),
                      const_cast<const uint8_t**>(src), srcLines, srcFormat, width, height);
        return;
    }
    av_image_copy_plane(dst[0], dstLines[0], src[0], srcLines[0], width, height);
    const int cw = (width + 1) / 2;
    for (int y = 0; y < height; ++y) {
        if (srcFormat == AV_PIX_FMT_NV16) {
            const uint8_t* uv = src[1] + ptrdiff_t(y) * srcLines[1];
            uint8_t* u = dst[1] + ptrdiff_t(y) * dstLines[1];
            uint8_t* v = dst[2] + ptrdiff_t(y) * dstLines[2];
            for (int x = 0; x < cw; ++x) {
                u[x] = uv[2 * x];
                v[x] = uv[2 * x + 1];
            }
        } else {
            const uint8_t* u = src[1] + ptrdiff_t(y) * srcLines[1];
            const uint8_t* v = src[2] + ptrdiff_t(y) * srcLines[2];
            uint8_t* uv = dst[1] + ptrdiff_t(y) * dstLines[1];
            for (int x = 0; x < cw; ++x) {
                uv[2 * x] = u[x];
                uv[2 * x + 1] = v[x];
            }
        }
    }
}

// Horizontal and vertical size of the chroma grid in pixels (1 for RGB and 4:4:4).
int gridX(const AVPixFmtDescriptor* d)
{
    return (d->flags & AV_PIX_FMT_FLAG_RGB) ? 1 : 1 << d->log2_chroma_w;
}

int gridY(const AVPixFmtDescriptor* d)
{
    return (d->flags & AV_PIX_FMT_FLAG_RGB) ? 1 : 1 << d->log2_chroma_h;
}

// Rounds a length to the grid and keeps it within 1 grid step and limit.
int fitToGrid(int64_t length, int grid, int limit)
{
    length = (length + grid / 2) / grid * grid;
    return static_cast<int>(std::clamp<int64_t>(length, std::min(grid, limit), limit));
}

// Advances each plane pointer to pixel (x, y). x and y must lie on the chroma grid.
void moveToPixel(const AVPixFmtDescriptor* d, int x, int y, const int linesize[4], uint8_t* data[4])
{
    const bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
    bool done[4] = {false, false, false, false};
    for (int c = 0; c < d->nb_components; ++c) {
        const AVComponentDescriptor& comp = d->comp[c];
        if (done[comp.plane])
            continue;
        done[comp.plane] = true;
        const bool chroma = !rgb && (c == 1 || c == 2);
        const int sx = chroma ? d->log2_chroma_w : 0;
        const int sy = chroma ? d->log2_chroma_h : 0;
        data[comp.plane] += static_cast<ptrdiff_t>(y >> sy) * linesize[comp.plane] +
                            static_cast<ptrdiff_t>(x >> sx) * comp.step;
    }
}

// Rows of each plane for a picture of the given height.
void planeRows(const AVPixFmtDescriptor* d, int height, int rows[4])
{
    const bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
    std::fill(rows, rows + 4, 0);
    for (int c = 0; c < d->nb_components; ++c) {
        const bool chroma = !rgb && (c == 1 || c == 2);
        rows[d->comp[c].plane] = chroma ? AV_CEIL_RSHIFT(height, d->log2_chroma_h) : height;
    }
}

// Unpacks V210 rows (six pixels in four little-endian words: Cb0 Y0 Cr0 | Y1 Cb1 Y2 |
// Cr1 Y3 Cb2 | Y4 Cr2 Y5, ten bits each from the low end) into packed YUV422P10 planes.
void unpackV210(const uint8_t* src, int stride, int width, int height, uint16_t* out)
{
    const int cw = (width + 1) / 2;
    uint16_t* yPlane = out;
    uint16_t* uPlane = yPlane + size_t(width) * height;
    uint16_t* vPlane = uPlane + size_t(cw) * height;
    for (int row = 0; row < height; ++row) {
        const uint8_t* p = src + ptrdiff_t(row) * stride;
        uint16_t* yRow = yPlane + size_t(row) * width;
        uint16_t* uRow = uPlane + size_t(row) * cw;
        uint16_t* vRow = vPlane + size_t(row) * cw;
        for (int x = 0; x < width; x += 6, p += 16) {
            uint32_t w[4];
            for (int i = 0; i < 4; ++i)
                w[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 |
                       uint32_t(p[4 * i + 2]) << 16 | uint32_t(p[4 * i + 3]) << 24;
            const uint32_t luma[6] = {w[0] >> 10, w[1], w[1] >> 20, w[2] >> 10, w[3], w[3] >> 20};
            const uint32_t cb[3] = {w[0], w[1] >> 10, w[2] >> 20};
            const uint32_t cr[3] = {w[0] >> 20, w[2], w[3] >> 10};
            for (int k = 0; k < 6 && x + k < width; ++k)
                yRow[x + k] = uint16_t(luma[k] & 0x3FF);
            for (int k = 0; k < 3 && x / 2 + k < cw; ++k) {
                uRow[x / 2 + k] = uint16_t(cb[k] & 0x3FF);
                vRow[x / 2 + k] = uint16_t(cr[k] & 0x3FF);
            }
        }
    }
}

QByteArray sizeLabel(int width, int height)
{
    return QByteArray::number(width) + 'x' + QByteArray::number(height);
}

} // namespace

void YuvResampler::SwsDeleter::operator()(SwsContext* ctx) const
{
    sws_freeContext(ctx);
}

void YuvResampler::BufferDeleter::operator()(unsigned char* p) const
{
    av_free(p);
}

bool YuvResampler::Setup::operator==(const Setup& o) const
{
    return srcWidth == o.srcWidth && srcHeight == o.srcHeight && srcAv == o.srcAv &&
           srcScaleAv == o.srcScaleAv && srcFullRange == o.srcFullRange && dstWidth == o.dstWidth &&
           dstHeight == o.dstHeight && dstAv == o.dstAv && dstScaleAv == o.dstScaleAv &&
           dstFullRange == o.dstFullRange && mode == o.mode;
}

YuvResampler::YuvResampler() = default;
YuvResampler::~YuvResampler() = default;

unsigned char* YuvResampler::videoData()
{
    return m_outputSize > 0 ? m_buffer.get() : nullptr;
}

int YuvResampler::videoDataSize()
{
    return m_outputSize;
}

bool YuvResampler::resampleVideo(const unsigned char* src, int srcWidth, int srcHeight,
                                 int srcFormat, const int* srcStrides, int dstWidth, int dstHeight,
                                 int dstFormat, int scaleMode, bool flip)
{
    m_outputSize = 0;

    if (srcFormat == PIX_V210) {
        // libswscale has no V210 reader: unpack to planar 4:2:2 10-bit and convert that.
        if (srcWidth <= 0 || srcHeight <= 0 ||
            av_image_check_size(srcWidth, srcHeight, 0, nullptr) < 0)
            return fail("invalid size " + sizeLabel(srcWidth, srcHeight) + " -> " +
                        sizeLabel(dstWidth, dstHeight));
        if (!src)
            return fail("no source picture");
        const int rowBytes = pixelFormatV210RowBytes(srcWidth);
        const int stride = srcStrides ? srcStrides[0] : rowBytes;
        if (stride < rowBytes)
            return fail("stride " + QByteArray::number(stride) +
                        " of plane 0 is narrower than a row of " + QByteArray::number(rowBytes) +
                        " bytes");
        m_v210.resize(size_t(pixelFormatFrameSize(PIX_YUV422P10, srcWidth, srcHeight)) / 2);
        unpackV210(src, stride, srcWidth, srcHeight, m_v210.data());
        return resampleVideo(reinterpret_cast<const unsigned char*>(m_v210.data()), srcWidth,
                             srcHeight, PIX_YUV422P10, nullptr, dstWidth, dstHeight, dstFormat,
                             scaleMode, flip);
    }

    Setup s;
    const AVPixelFormat srcAv = layoutFormat(srcFormat, &s.srcFullRange);
    const AVPixelFormat srcScaleAv = scalingFormat(srcAv, false);
    if (srcScaleAv == AV_PIX_FMT_NONE)
        return fail("cannot convert from '" + formatLabel(srcFormat) + "'");
    const AVPixelFormat dstAv = layoutFormat(dstFormat, &s.dstFullRange);
    const AVPixelFormat dstScaleAv = scalingFormat(dstAv, true);
    if (dstScaleAv == AV_PIX_FMT_NONE)
        return fail("cannot convert to '" + formatLabel(dstFormat) + "'");
    if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0 ||
        av_image_check_size(srcWidth, srcHeight, 0, nullptr) < 0 ||
        av_image_check_size(dstWidth, dstHeight, 0, nullptr) < 0)
        return fail(QByteArray("invalid size ") + sizeLabel(srcWidth, srcHeight) + " -> " +
                    sizeLabel(dstWidth, dstHeight));
    if (!src)
        return fail("no source picture");
    s.srcWidth = srcWidth;
    s.srcHeight = srcHeight;
    s.srcAv = srcAv;
    s.srcScaleAv = srcScaleAv;
    s.dstWidth = dstWidth;
    s.dstHeight = dstHeight;
    s.dstAv = dstAv;
    s.dstScaleAv = dstScaleAv;
    s.mode = (scaleMode == 1 || scaleMode == 2) ? scaleMode : 0;

    // Source plane layout.
    int srcLines[4] = {0, 0, 0, 0};
    av_image_fill_linesizes(srcLines, srcAv, srcWidth);
    if (srcStrides) {
        const int planes = av_pix_fmt_count_planes(srcAv);
        for (int p = 0; p < planes; ++p) {
            if (srcStrides[p] < srcLines[p])
                return fail("stride " + QByteArray::number(srcStrides[p]) + " of plane " +
                            QByteArray::number(p) + " is narrower than a row of " +
                            QByteArray::number(srcLines[p]) + " bytes");
            srcLines[p] = srcStrides[p];
        }
    }

    if (!m_ready || !(s == m_setup)) {
        if (!rebuild(s))
            return false;
    }

    uint8_t* srcData[4] = {nullptr, nullptr, nullptr, nullptr};
    if (av_image_fill_pointers(srcData, srcAv, srcHeight, const_cast<uint8_t*>(src), srcLines) < 0)
        return fail("cannot lay out a '" + formatLabel(srcFormat) + "' picture");
    if (pixelFormatSwapsChroma(srcFormat)) {
        std::swap(srcData[1], srcData[2]);
        std::swap(srcLines[1], srcLines[2]);
    }
    const AVPixFmtDescriptor* srcDesc = av_pix_fmt_desc_get(srcAv);
    moveToPixel(srcDesc, m_cropX, m_cropY, srcLines, srcData);
    if (flip) {
        // Read the crop window bottom-up. Only copies follow negative line sizes; the scaler
        // is always given a top-down picture.
        int rows[4];
        planeRows(srcDesc, m_cropH, rows);
        for (int p = 0; p < 4; ++p) {
            if (!srcData[p])
                continue;
            srcData[p] += static_cast<ptrdiff_t>(rows[p] - 1) * srcLines[p];
            srcLines[p] = -srcLines[p];
        }
    }

    uint8_t* dstData[4] = {nullptr, nullptr, nullptr, nullptr};
    int dstLines[4] = {0, 0, 0, 0};
    av_image_fill_arrays(dstData, dstLines, m_buffer.get(), dstAv, dstWidth, dstHeight, 1);
    if (pixelFormatSwapsChroma(dstFormat)) {
        std::swap(dstData[1], dstData[2]);
        std::swap(dstLines[1], dstLines[2]);
    }
    moveToPixel(av_pix_fmt_desc_get(dstAv), m_rectX, m_rectY, dstLines, dstData);

    if (srcScaleAv == dstScaleAv && m_cropW == m_rectW && m_cropH == m_rectH &&
        s.srcFullRange == s.dstFullRange) {
        // Same samples, same size: a plain copy. (libswscale's own copy path would also leave
        // the chroma of semi-planar pictures unwritten.)
        copyPicture(dstData, dstLines, dstAv, srcData, srcLines, srcAv, m_rectW, m_rectH);
        m_outputSize = pixelFormatFrameSize(dstFormat, dstWidth, dstHeight);
        m_lastWarning.clear();
        return true;
    }

    // Host frames are usually 16-byte aligned; the scaler reads those fine.
    if (flip || srcScaleAv != srcAv || !isAligned(srcData, srcLines, 16)) {
        if (!prepareStage(m_srcStage, srcScaleAv, m_cropW, m_cropH))
            return false;
        copyPicture(m_srcStage.data, m_srcStage.lines, srcScaleAv, srcData, srcLines, srcAv,
                    m_cropW, m_cropH);
        std::copy_n(m_srcStage.data, 4, srcData);
        std::copy_n(m_srcStage.lines, 4, srcLines);
    }

    const bool stageDst = dstScaleAv != dstAv || !isAligned(dstData, dstLines, 32);
    if (stageDst && !prepareStage(m_dstStage, dstScaleAv, m_rectW, m_rectH))
        return false;
    uint8_t* const* scaleData = stageDst ? m_dstStage.data : dstData;
    const int* scaleLines = stageDst ? m_dstStage.lines : dstLines;
    const int rows = sws_scale(m_sws.get(), srcData, srcLines, 0, m_cropH, scaleData, scaleLines);
    if (rows <= 0)
        return fail("scaling '" + formatLabel(srcFormat) + "' to '" + formatLabel(dstFormat) +
                    "' failed");
    if (stageDst)
        copyPicture(dstData, dstLines, dstAv, m_dstStage.data, m_dstStage.lines, dstScaleAv,
                    m_rectW, m_rectH);

    m_outputSize = pixelFormatFrameSize(dstFormat, dstWidth, dstHeight);
    m_lastWarning.clear();
    return true;
}

bool YuvResampler::prepareStage(Stage& stage, int avFormat, int width, int height)
{
    if (stage.buffer)
        return true;
    // Rows padded to 64 bytes and a padded end keep whole-block SIMD stores inside the buffer.
    constexpr int kAlign = 64;
    const auto fmt = static_cast<AVPixelFormat>(avFormat);
    const int size = av_image_get_buffer_size(fmt, width, height, kAlign);
    if (size > 0)
        stage.buffer.reset(
            static_cast<unsigned char*>(av_malloc(size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE)));
    if (!stage.buffer)
        return fail("out of memory for a staging picture of " + sizeLabel(width, height));
    av_image_fill_arrays(stage.data, stage.lines, stage.buffer.get(), fmt, width, height, kAlign);
    return true;
}

bool YuvResampler::fail(const QByteArray& message)
{
    // A stream of frames with the same fault reports it once.
    if (message != m_lastWarning) {
        qCWarning(lcStrevo, "YuvResampler: %s", message.constData());
        m_lastWarning = message;
    }
    return false;
}

bool YuvResampler::rebuild(const Setup& s)
{
    m_ready = false;
    m_sws.reset();
    m_srcStage = Stage();
    m_dstStage = Stage();

    const auto srcAv = static_cast<AVPixelFormat>(s.srcAv);
    const auto dstAv = static_cast<AVPixelFormat>(s.dstAv);
    const auto srcScaleAv = static_cast<AVPixelFormat>(s.srcScaleAv);
    const auto dstScaleAv = static_cast<AVPixelFormat>(s.dstScaleAv);
    const AVPixFmtDescriptor* srcDesc = av_pix_fmt_desc_get(srcAv);
    const AVPixFmtDescriptor* dstDesc = av_pix_fmt_desc_get(dstAv);

    // Which part of the source is read and where in the destination it lands.
    m_cropX = m_cropY = 0;
    m_cropW = s.srcWidth;
    m_cropH = s.srcHeight;
    m_rectX = m_rectY = 0;
    m_rectW = s.dstWidth;
    m_rectH = s.dstHeight;
    const int64_t srcAspect = int64_t(s.srcWidth) * s.dstHeight;
    const int64_t dstAspect = int64_t(s.dstWidth) * s.srcHeight;
    const bool sourceWider = srcAspect > dstAspect;
    if (s.mode == 1 && srcAspect != dstAspect) {
        if (sourceWider)
            m_rectH = fitToGrid((int64_t(s.dstWidth) * s.srcHeight + s.srcWidth / 2) / s.srcWidth,
                                gridY(dstDesc), s.dstHeight);
        else
            m_rectW = fitToGrid((int64_t(s.dstHeight) * s.srcWidth + s.srcHeight / 2) / s.srcHeight,
                                gridX(dstDesc), s.dstWidth);
        m_rectX = (s.dstWidth - m_rectW) / 2 / gridX(dstDesc) * gridX(dstDesc);
        m_rectY = (s.dstHeight - m_rectH) / 2 / gridY(dstDesc) * gridY(dstDesc);
    } else if (s.mode == 2 && srcAspect != dstAspect) {
        if (sourceWider)
            m_cropW = fitToGrid((int64_t(s.srcHeight) * s.dstWidth + s.dstHeight / 2) / s.dstHeight,
                                gridX(srcDesc), s.srcWidth);
        else
            m_cropH = fitToGrid((int64_t(s.srcWidth) * s.dstHeight + s.dstWidth / 2) / s.dstWidth,
                                gridY(srcDesc), s.srcHeight);
        m_cropX = (s.srcWidth - m_cropW) / 2 / gridX(srcDesc) * gridX(srcDesc);
        m_cropY = (s.srcHeight - m_cropH) / 2 / gridY(srcDesc) * gridY(srcDesc);
    }

    // Shrinking by more than libswscale's longest filter allows (about 1:100) fails with
    // bilinear; nearest-neighbour has no such limit.
    std::unique_ptr<SwsContext, SwsDeleter> ctx;
    for (int flags : {SWS_BILINEAR, SWS_POINT}) {
        ctx.reset(sws_alloc_context());
        if (!ctx)
            return fail("out of memory");
        SwsContext* c = ctx.get();
        const bool optionsSet = av_opt_set_int(c, "srcw", m_cropW, 0) >= 0 &&
                                av_opt_set_int(c, "srch", m_cropH, 0) >= 0 &&
                                av_opt_set_int(c, "src_format", srcScaleAv, 0) >= 0 &&
                                av_opt_set_int(c, "src_range", s.srcFullRange ? 1 : 0, 0) >= 0 &&
                                av_opt_set_int(c, "dstw", m_rectW, 0) >= 0 &&
                                av_opt_set_int(c, "dsth", m_rectH, 0) >= 0 &&
                                av_opt_set_int(c, "dst_format", dstScaleAv, 0) >= 0 &&
                                av_opt_set_int(c, "dst_range", s.dstFullRange ? 1 : 0, 0) >= 0 &&
                                av_opt_set_int(c, "sws_flags", flags, 0) >= 0;
        if (optionsSet && sws_init_context(c, nullptr, nullptr) >= 0)
            break;
        ctx.reset();
    }
    if (!ctx)
        return fail(QByteArray("cannot set up scaling ") + sizeLabel(m_cropW, m_cropH) + " '" +
                    av_get_pix_fmt_name(srcScaleAv) + "' -> " + sizeLabel(m_rectW, m_rectH) + " '" +
                    av_get_pix_fmt_name(dstScaleAv) + "'");

    const int size = av_image_get_buffer_size(dstAv, s.dstWidth, s.dstHeight, 1);
    if (size <= 0)
        return fail("no layout for '" + QByteArray(av_get_pix_fmt_name(dstAv)) + "'");
    if (size > m_bufferSize) {
        // Some scaler output paths write whole SIMD blocks; the padding keeps them in bounds.
        m_buffer.reset(static_cast<unsigned char*>(av_malloc(size + AV_INPUT_BUFFER_PADDING_SIZE)));
        m_bufferSize = m_buffer ? size : 0;
        if (!m_buffer)
            return fail("out of memory for a " + QByteArray::number(size) + " byte picture");
    }

    // The bars are painted once; each frame then only writes the picture area.
    if (m_rectW != s.dstWidth || m_rectH != s.dstHeight) {
        std::memset(m_buffer.get(), 0, size);
        uint8_t* data[4] = {nullptr, nullptr, nullptr, nullptr};
        int lines[4] = {0, 0, 0, 0};
        av_image_fill_arrays(data, lines, m_buffer.get(), dstAv, s.dstWidth, s.dstHeight, 1);
        const ptrdiff_t wide[4] = {lines[0], lines[1], lines[2], lines[3]};
        av_image_fill_black(data, wide, dstAv, s.dstFullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG,
                            s.dstWidth, s.dstHeight);
    }

    m_sws = std::move(ctx);
    m_setup = s;
    m_ready = true;
    return true;
}
