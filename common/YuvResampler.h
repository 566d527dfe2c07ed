#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <vector>

struct SwsContext;

// Converts and scales one picture at a time between the library's pixel-format codes
// (common/PixelFormat.h) with libswscale.
//
// Every code that pixelFormatToAV() maps can be read and written; YV12 is handled as YUV420P
// with its chroma planes swapped. V210 can be read (it is unpacked to YUV422P10 first; a
// stride, if given, is its only plane's), not written. The output is packed: plane after plane,
// each row exactly as wide as the picture, no padding (pixelFormatFrameSize() bytes).
//
// Choices:
// - Filter: bilinear (SWS_BILINEAR), a good speed/quality balance for per-frame 1080p work;
//   nearest-neighbour only for shrink factors beyond libswscale's filter limit (~1:100).
// - Colour: YUV <-> RGB uses BT.601, limited range (Y 16..235, chroma 16..240), which is
//   libswscale's default. YUVJ420P is treated as the same matrix at full range.
// - Scale modes: 0 stretches to the destination size; 1 keeps the aspect ratio and fits the
//   picture inside the destination, centred, with black bars (Y 16, U/V 128; RGB 0; alpha
//   opaque; full-range YUV uses Y 0); 2 keeps the aspect ratio and fills the destination,
//   cropping the centre of the source. Any other value stretches like 0. Bar and crop edges
//   are rounded to the chroma subsampling grid so no chroma sample is split.
// - flip mirrors the picture vertically.
//
// The scaler context and the output buffer are kept between calls and rebuilt only when a
// size, a format or the mode changes, so steady per-frame use allocates nothing. Pictures
// whose rows are 32-byte aligned (1080p and 720p NV12, RGB32 ...) are scaled in place; other
// cases go through an aligned staging copy, because some of libswscale's SIMD copy paths
// store whole aligned blocks and would otherwise fault or write past a row.
// Not thread-safe: use one object per thread.
class YuvResampler
{
public:
    YuvResampler();
    ~YuvResampler();
    YuvResampler(const YuvResampler&) = delete;
    YuvResampler& operator=(const YuvResampler&) = delete;

    // Converts src into the output buffer. srcStrides gives the bytes per row of each plane
    // (planes still follow each other in memory, each plane height rows of its stride); null
    // means packed planes without padding. Returns false, logs a warning (once for a run of
    // identical faults) and leaves no output (videoData() null, videoDataSize() 0) for an
    // unsupported format, a non-positive size, a stride narrower than a row, or a null src.
    bool resampleVideo(const unsigned char* src, int srcWidth, int srcHeight, int srcFormat,
                       const int* srcStrides, int dstWidth, int dstHeight, int dstFormat,
                       int scaleMode, bool flip);

    // The last successful result; null / 0 before the first one and after a failed call.
    // The pointer stays valid until the next resampleVideo call or destruction.
    unsigned char* videoData();
    int videoDataSize();

private:
    struct SwsDeleter
    {
        void operator()(SwsContext* ctx) const;
    };
    struct BufferDeleter
    {
        void operator()(unsigned char* p) const;
    };

    // Everything the scaler context and the output layout depend on. The *Av formats give
    // the memory layout; the *ScaleAv formats are what the scaler reads and writes (they
    // differ for layouts libswscale lacks, such as NV16, which pass through a planar stage).
    struct Setup
    {
        int srcWidth = 0;
        int srcHeight = 0;
        int srcAv = -1;
        int srcScaleAv = -1;
        bool srcFullRange = false;
        int dstWidth = 0;
        int dstHeight = 0;
        int dstAv = -1;
        int dstScaleAv = -1;
        bool dstFullRange = false;
        int mode = 0;
        bool operator==(const Setup& o) const;
    };

    // An aligned picture that the scaler reads from or writes to when the caller's memory
    // does not suit it (misaligned rows, a crop or bar offset, flipping, a layout change).
    struct Stage
    {
        std::unique_ptr<unsigned char, BufferDeleter> buffer;
        unsigned char* data[4] = {nullptr, nullptr, nullptr, nullptr};
        int lines[4] = {0, 0, 0, 0};
    };

    bool rebuild(const Setup& setup);
    bool prepareStage(Stage& stage, int avFormat, int width, int height);
    bool fail(const QByteArray& message);

    std::unique_ptr<SwsContext, SwsDeleter> m_sws;
    std::unique_ptr<unsigned char, BufferDeleter> m_buffer;
    Setup m_setup;
    bool m_ready = false;
    int m_bufferSize = 0;
    int m_outputSize = 0;
    QByteArray m_lastWarning;
    Stage m_srcStage;
    Stage m_dstStage;
    std::vector<uint16_t> m_v210; // a V210 source unpacked to YUV422P10

    // Area of the source that is read and area of the destination that is written.
    int m_cropX = 0, m_cropY = 0, m_cropW = 0, m_cropH = 0;
    int m_rectX = 0, m_rectY = 0, m_rectW = 0, m_rectH = 0;
};
