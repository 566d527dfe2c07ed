#include "encoder/AudioEncoding.h"

#include "codec/audio/IAudioCodec.h"
#include "common/AVResampler.h"
#include "common/CodecPreset.h"
#include "common/StrevoLog.h"
#include "encoder/AVSync.h"
#include "encoder/EncodedAudio.h"
#include "encoder/IEncoder.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/MuxerHandOver.h"
#include "muxer/IMuxer.h"

#include <QDebug>
#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

// Audio waits in its FIFO until the video it belongs to is written, so a host that pushes
// faster than real time (a transcode) legitimately runs several seconds of audio ahead; one
// minute of 48 kHz stereo is 11.5 MB.
constexpr int kAudioFifoSeconds = 60;

} // namespace

AudioEncoding::AudioEncoding(const CodecPreset& preset, AVSync& sync, EncodedAudio& encoded,
                             const std::atomic<IEncodingCallback*>& callback,
                             std::function<long long(double)> framesFor)
    : m_preset(preset), m_sync(sync), m_encoded(encoded), m_callback(callback),
      m_framesFor(std::move(framesFor))
{
}

AudioEncoding::~AudioEncoding() = default;

QString AudioEncoding::invalidSettings(const CodecPreset& preset)
{
    const auto bad = [](const char* field, double value) {
        return QStringLiteral("%1 %2").arg(QLatin1String(field)).arg(value);
    };
    if (!preset.audioCodec().enabled)
        return QString();
    const ProjectModel::AudioOutput& a = preset.audioOutput();
    if (a.channels < 1 || a.channels > 8)
        return bad("audioOutput.channels", a.channels);
    if (a.sampleRate <= 0 || a.sampleRate > 384000)
        return bad("audioOutput.sampleRate", a.sampleRate);
    if (a.bitsPerSample != 16)
        return bad("audioOutput.bitsPerSample", a.bitsPerSample);
    if (a.bufferSize <= 0)
        return bad("audioOutput.bufferSize", a.bufferSize);
    return QString();
}

void AudioEncoding::configure(bool muxEnabled)
{
    m_muxEnabled = muxEnabled;
    m_mayStart.store(!muxEnabled);
    m_fifoLimit = static_cast<long long>(kAudioFifoSeconds) * projectBytesPerSecond();
}

bool AudioEncoding::open(CodecPreset* preset)
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    if (audio.codecName.isEmpty())
        return false;
    m_codec.reset(IEncoder::createAudioEncoder(audio.codecName));
    if (!m_codec) {
        qCWarning(lcStrevo, "Encoder: unknown audio codec '%s'", qPrintable(audio.codecName));
        return false;
    }
    if (!m_codec->initialize(preset))
        return false;
    m_packet.assign(
        std::max<size_t>(std::max(m_preset.audioOutput().bufferSize, 0), m_codec->maxPacketSize()),
        0);
    m_encoded.data = m_packet.data();
    return true;
}

void AudioEncoding::reset()
{
    m_fifo.clear();
    m_codec.reset();
    m_fifoBytes.store(0);
    m_forHost.clear();
    m_secondsOut = 0.0;
    m_chunksIn = 0;
    m_handedSeconds.store(0.0);
}

void AudioEncoding::makeResampler()
{
    m_resampler = std::make_unique<AVResampler>(0, 0, 0);
}

int AudioEncoding::projectBytesPerSecond() const
{
    const ProjectModel::AudioOutput& a = m_preset.audioOutput();
    return a.channels * a.sampleRate * a.bitsPerSample / 8;
}

bool AudioEncoding::enqueue(unsigned char* data, int size)
{
    if (data && size <= 0)
        return false; // nothing to encode; only a null buffer marks a lost one
    const int bytes = std::max(size, 0);
    const long long queued = m_sync.audioBytesQueued.fetch_add(bytes) + bytes;
    const double bytesPerFrame = projectBytesPerSecond() / m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioQueuedFrames.store(qRound64(queued / bytesPerFrame));
    const int held = data ? bytes : 0;
    if (m_fifoBytes.load() + held > m_fifoLimit) {
        m_sync.audioInputDrops.fetch_add(1);
        return false;
    }
    m_fifoBytes.fetch_add(held);
    m_fifo.append(std::make_unique<AudioQueue>(data, size));
    return true;
}

int AudioEncoding::queuedChunks() const
{
    const long long bytes = m_fifoBytes.load();
    const int chunks = static_cast<int>((bytes + kHoldChunkBytes - 1) / kHoldChunkBytes);
    return chunks > 0 || m_fifo.isEmpty() ? chunks : 1;
}

void AudioEncoding::startFile()
{
    m_sync.audioBytesEncoded.store(0);
    m_sync.audioFrames.store(0);
    m_secondsOut = 0.0;
    m_chunksIn = 0;
    m_mayStart.store(false);
    m_handedSeconds.store(0.0);
}

void AudioEncoding::finish(IMuxer* muxer, long long videoFrames, bool last)
{
    if (!m_codec || !m_resampler || (m_muxEnabled && !(muxer && muxer->isHeaderWritten())))
        return;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerSecond = audio.bitsPerSample * audio.channels * audio.sampleRate / 8;
    const unsigned int chunk = m_codec->frameSize();
    if (!(bytesPerSecond > 0.0) || chunk == 0 || !(m_preset.videoCodec().frameRate > 0.0))
        return;
    const double videoSeconds =
        (muxer ? muxer->videoFrameCount() : videoFrames) / m_preset.videoCodec().frameRate;
    // Feed the codec chunk by chunk up to the video's length; what is left in the resampler and
    // the FIFO belongs to the next file.
    const double chunkSeconds = chunk / bytesPerSecond;
    const long long chunksForVideo =
        static_cast<long long>(std::ceil(videoSeconds / chunkSeconds - 1e-9));
    encodeResampled(muxer, chunksForVideo);
    while (m_chunksIn < chunksForVideo && !m_fifo.isEmpty())
        encodeQueued(muxer, chunksForVideo);
    std::vector<unsigned char> silence(chunk, 0);
    // Up to half a second of silence: a codec of short chunks (Vorbis takes 64 samples at a
    // time) needs many of them to give out one packet.
    const int maxChunks = std::max(16, static_cast<int>(std::ceil(0.5 / chunkSeconds)));
    for (int i = 0; i < maxChunks && m_secondsOut + 0.5 * chunkSeconds < videoSeconds; ++i)
        encode(muxer, silence.data(), static_cast<int>(chunk));
    if (!last)
        return; // the next file goes on with the codec as it is
    // The codec still holds the tail of the silence pushed above: drain it to its end so that it
    // closes empty, and drop what comes out, which would only lengthen the sound past the video.
    unsigned int size = 0;
    for (int i = 0; i < 64 && m_codec->encode(nullptr, 0, m_packet.data(),
                                              static_cast<unsigned int>(m_packet.size()), size);
         ++i)
        size = 0;
}

// Encodes the resampled sound that fills whole codec chunks, while fewer than `limit` chunks
// went into the codec for the current file.
void AudioEncoding::encodeResampled(IMuxer* muxer, long long limit)
{
    const int chunk = static_cast<int>(m_codec->frameSize());
    while (chunk > 0 && m_chunksIn < limit && m_resampler->requestAudioData(chunk)) {
        ++m_chunksIn;
        encode(muxer, m_resampler->audioData(), chunk);
    }
}

void AudioEncoding::encodeQueued(IMuxer* muxer, long long limit)
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const ProjectModel::AudioOutput& input = m_preset.audioOutput();
    // A time split may have emptied the FIFO since the caller looked.
    std::unique_ptr<AudioQueue> buffer = m_fifo.tryTake();
    if (!buffer)
        return;
    if (buffer->data()) {
        m_fifoBytes.fetch_sub(buffer->size());
        m_resampler->resampleAudio(buffer->data(), buffer->size(), audio.channels, input.channels,
                                   audio.sampleRate, input.sampleRate, AV_SAMPLE_FMT_S16,
                                   AV_SAMPLE_FMT_S16);
        encodeResampled(muxer, limit);
    } else {
        m_sync.audioDrops.fetch_add(1);
        m_sync.audioFrames.fetch_add(1);
        if (muxer) {
            const int rate = m_preset.audioCodec().sampleRate;
            const int samples = muxer->skipAudioFrame();
            if (rate > 0)
                atomicAdd(m_handedSeconds, static_cast<double>(samples) / rate);
        }
    }
}

// Seconds of sound in one codec chunk, and so in one packet.
double AudioEncoding::chunkSeconds() const
{
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerSecond = audio.bitsPerSample * audio.channels * audio.sampleRate / 8.0;
    return bytesPerSecond > 0.0 ? m_codec->frameSize() / bytesPerSecond : 0.0;
}

// The host gets the packet from deliverToHost().
void AudioEncoding::encode(IMuxer* muxer, unsigned char* data, int size)
{
    unsigned int packetSize = 0;
    if (!m_codec->encode(data, static_cast<unsigned int>(size), m_encoded.data,
                         static_cast<unsigned int>(m_packet.size()), packetSize))
        return;
    m_encoded.size = packetSize;
    const int samples = m_codec->packetSamples();
    const int rate = m_preset.audioCodec().sampleRate;
    const double seconds =
        samples > 0 && rate > 0 ? static_cast<double>(samples) / rate : chunkSeconds();
    m_secondsOut += seconds;
    atomicAdd(m_handedSeconds, seconds);
    if (m_callback.load())
        m_forHost.emplace_back(m_encoded.data, m_encoded.data + packetSize);
    AVPacketPtr packet = MuxerHandOver::copyPacket(m_encoded.data, packetSize);
    if (packet && samples > 0)
        packet->duration = samples; // the muxer counts in samples
    if (muxer && !muxer->writeAudio(std::move(packet)))
        return;
    const long long encoded = m_sync.audioBytesEncoded.fetch_add(size) + size;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const double bytesPerFrame = (audio.bitsPerSample * audio.channels * audio.sampleRate / 8) /
                                 m_preset.videoCodec().frameRate;
    if (bytesPerFrame > 0.0)
        m_sync.audioFrames.store(m_framesFor(encoded / bytesPerFrame));
}

void AudioEncoding::restartLive()
{
    long long dropped = 0;
    while (std::unique_ptr<AudioQueue> buffer = m_fifo.tryTake()) {
        if (buffer->data())
            m_fifoBytes.fetch_sub(buffer->size());
        ++dropped;
    }
    if (dropped > 0)
        qCDebug(lcStrevo,
                "Encoder: dropped %lld audio buffers queued while the live output was down",
                dropped);
    m_handedSeconds.store(0.0);
    m_mayStart.store(false);
}

AudioEncoding::Packets AudioEncoding::takeForHost()
{
    Packets packets;
    packets.swap(m_forHost);
    return packets;
}

void AudioEncoding::deliverToHost(Packets& packets) const
{
    IEncodingCallback* cb = m_callback.load();
    if (!cb || packets.empty())
        return;
    for (std::vector<unsigned char>& packet : packets)
        cb->audioEncoded(packet.data(), static_cast<unsigned int>(packet.size()),
                         m_codec->extraData(), m_codec->extraDataSize());
}
