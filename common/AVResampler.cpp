#include "common/AVResampler.h"
#include "common/StrevoLog.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kMaxChannels = 64;

// A default channel layout for a channel count, released on scope exit.
struct DefaultLayout
{
    AVChannelLayout layout{};
    explicit DefaultLayout(int channels) { av_channel_layout_default(&layout, channels); }
    ~DefaultLayout() { av_channel_layout_uninit(&layout); }
    DefaultLayout(const DefaultLayout&) = delete;
    DefaultLayout& operator=(const DefaultLayout&) = delete;
};

bool validPackedFormat(int format)
{
    if (format < 0 || format >= AV_SAMPLE_FMT_NB)
        return false;
    const auto fmt = static_cast<AVSampleFormat>(format);
    return av_get_bytes_per_sample(fmt) > 0 && !av_sample_fmt_is_planar(fmt);
}

QByteArray pair(int out, int in)
{
    return QByteArray::number(in) + " -> " + QByteArray::number(out);
}

} // namespace

void AVResampler::SwrDeleter::operator()(SwrContext* ctx) const
{
    swr_free(&ctx);
}

bool AVResampler::Params::operator==(const Params& o) const
{
    return outChannels == o.outChannels && inChannels == o.inChannels && outRate == o.outRate &&
           inRate == o.inRate && outFormat == o.outFormat && inFormat == o.inFormat;
}

bool AVResampler::Params::passthrough() const
{
    return outChannels == inChannels && outRate == inRate && outFormat == inFormat;
}

AVResampler::AVResampler(int, int, int) {}

AVResampler::~AVResampler() = default;

void AVResampler::resampleAudio(const unsigned char* data, int size, int outChannels,
                                int inChannels, int outRate, int inRate, int outFormat,
                                int inFormat)
{
    if (!data || size < 0) {
        warn("no audio data");
        return;
    }
    if (outChannels < 1 || outChannels > kMaxChannels || inChannels < 1 ||
        inChannels > kMaxChannels) {
        warn("invalid channel count " + pair(outChannels, inChannels));
        return;
    }
    if (outRate <= 0 || inRate <= 0) {
        warn("invalid sample rate " + pair(outRate, inRate));
        return;
    }
    if (!validPackedFormat(outFormat) || !validPackedFormat(inFormat)) {
        warn("unsupported sample format " + pair(outFormat, inFormat));
        return;
    }

    const Params p{outChannels, inChannels, outRate, inRate, outFormat, inFormat};
    if (!m_configured || !(p == m_params)) {
        if (!configure(p))
            return;
    }
    m_lastWarning.clear();
    if (size == 0)
        return;

    compact();
    if (!m_swr) {
        m_buffer.insert(m_buffer.end(), data, data + size);
        return;
    }

    const int inFrame = inChannels * av_get_bytes_per_sample(static_cast<AVSampleFormat>(inFormat));
    const int outFrame =
        outChannels * av_get_bytes_per_sample(static_cast<AVSampleFormat>(outFormat));

    auto convert = [&](const unsigned char* in, int samples) {
        const int room = swr_get_out_samples(m_swr.get(), samples);
        if (room < 0) {
            warn("cannot size the converted audio");
            return;
        }
        const size_t used = m_buffer.size();
        m_buffer.resize(used + size_t(room) * outFrame);
        uint8_t* out = m_buffer.data() + used;
        const uint8_t* src = in;
        const int got = swr_convert(m_swr.get(), &out, room, &src, samples);
        if (got < 0)
            warn("audio conversion failed");
        m_buffer.resize(used + size_t(std::max(got, 0)) * outFrame);
    };

    // Complete a sample frame that the previous call left unfinished.
    if (!m_partial.empty()) {
        const int take = std::min<int>(inFrame - int(m_partial.size()), size);
        m_partial.insert(m_partial.end(), data, data + take);
        data += take;
        size -= take;
        if (int(m_partial.size()) < inFrame)
            return;
        convert(m_partial.data(), 1);
        m_partial.clear();
    }
    const int samples = size / inFrame;
    if (samples > 0)
        convert(data, samples);
    m_partial.assign(data + size_t(samples) * inFrame, data + size);
}

bool AVResampler::requestAudioData(int bytes)
{
    m_pending = (bytes > 0 && availableBytes() >= bytes) ? bytes : 0;
    return m_pending > 0;
}

unsigned char* AVResampler::audioData()
{
    if (m_pending <= 0 || availableBytes() < m_pending)
        return nullptr;
    unsigned char* chunk = m_buffer.data() + m_readPos;
    m_readPos += m_pending;
    m_pending = 0;
    return chunk;
}

int AVResampler::availableBytes() const
{
    return int(m_buffer.size() - m_readPos);
}

bool AVResampler::configure(const Params& p)
{
    m_configured = false;
    m_swr.reset();
    m_partial.clear();
    m_params = p;
    if (p.passthrough()) {
        m_configured = true;
        return true;
    }

    DefaultLayout outLayout(p.outChannels);
    DefaultLayout inLayout(p.inChannels);
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &outLayout.layout, static_cast<AVSampleFormat>(p.outFormat),
                            p.outRate, &inLayout.layout, static_cast<AVSampleFormat>(p.inFormat),
                            p.inRate, 0, nullptr) < 0) {
        warn("cannot create a resampler for " + pair(p.outRate, p.inRate) + " Hz");
        return false;
    }
    std::unique_ptr<SwrContext, SwrDeleter> ctx(raw);
    if (swr_init(ctx.get()) < 0) {
        warn("cannot set up resampling " + pair(p.outChannels, p.inChannels) + " channels, " +
             pair(p.outRate, p.inRate) + " Hz");
        return false;
    }
    m_swr = std::move(ctx);
    m_configured = true;
    return true;
}

void AVResampler::warn(const QByteArray& message)
{
    // A stream of buffers with the same fault reports it once.
    if (message != m_lastWarning) {
        qCWarning(lcStrevo, "AVResampler: %s", message.constData());
        m_lastWarning = message;
    }
}

void AVResampler::compact()
{
    // Dropping the consumed front only once it is at least as large as what remains keeps the
    // cost of moving bytes proportional to the bytes handed out.
    if (m_readPos == 0)
        return;
    const size_t remaining = m_buffer.size() - m_readPos;
    if (remaining == 0) {
        m_buffer.clear();
        m_readPos = 0;
    } else if (m_readPos >= remaining) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + m_readPos);
        m_readPos = 0;
    }
}
