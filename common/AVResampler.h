#pragma once

#include <QByteArray>

#include <memory>
#include <vector>

struct SwrContext;

// Converts interleaved audio between channel counts, sample rates and sample formats with
// libswresample and buffers the result for a consumer that takes fixed-size chunks (one codec
// frame at a time).
//
// Formats are AVSampleFormat values; only interleaved (packed) formats are accepted. Channel
// counts map to libavutil's default layout for that count (1 mono, 2 stereo, ...), so mixing
// down or up uses libswresample's standard matrix. When input and output parameters are
// identical the bytes are appended unchanged, without a resampling context.
//
// The resampling context is rebuilt when any parameter changes; audio still inside the old
// context's filter (a few samples) is dropped at that point. Input that ends in the middle of
// a sample frame is kept and completed by the next call.
// Not thread-safe: use one object per thread.
class AVResampler
{
public:
    // The three values are accepted for compatibility and not used: every conversion takes
    // its parameters from resampleAudio.
    AVResampler(int outChannels = 0, int outRate = 0, int outFormat = 0);
    ~AVResampler();
    AVResampler(const AVResampler&) = delete;
    AVResampler& operator=(const AVResampler&) = delete;

    // Converts size bytes of interleaved audio and appends the result to the buffer. Invalid
    // arguments (null data, a channel count outside 1..64, a rate <= 0, an unknown or planar
    // format) append nothing and log a warning once for a run of identical faults.
    void resampleAudio(const unsigned char* data, int size, int outChannels, int inChannels,
                       int outRate, int inRate, int outFormat, int inFormat);

    // True while at least bytes (> 0) are buffered; remembers bytes for audioData().
    bool requestAudioData(int bytes);

    // The next chunk of the size of the last successful requestAudioData, which it removes
    // from the buffer. The pointer stays valid until the next call on this object. Null when
    // no request is pending (each request yields one chunk).
    unsigned char* audioData();

    // Bytes buffered and not yet handed out.
    int availableBytes() const;

private:
    struct SwrDeleter
    {
        void operator()(SwrContext* ctx) const;
    };

    struct Params
    {
        int outChannels = 0;
        int inChannels = 0;
        int outRate = 0;
        int inRate = 0;
        int outFormat = -1;
        int inFormat = -1;
        bool operator==(const Params& o) const;
        bool passthrough() const;
    };

    bool configure(const Params& p);
    void warn(const QByteArray& message);
    void compact();

    std::unique_ptr<SwrContext, SwrDeleter> m_swr;
    Params m_params;
    bool m_configured = false;

    // Converted audio; bytes before m_readPos have been handed out.
    std::vector<unsigned char> m_buffer;
    size_t m_readPos = 0;
    int m_pending = 0;

    // The start of an input sample frame that the last call cut off.
    std::vector<unsigned char> m_partial;

    QByteArray m_lastWarning;
};
