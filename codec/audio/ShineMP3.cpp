#include "codec/audio/ShineMP3.h"

#include "codec/audio/AudioRecordCheck.h"
#include "common/StrevoLog.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

extern "C" {
#include <shine/layer3.h>
}

void ShineMP3::ShineDeleter::operator()(shine_global_flags* encoder) const
{
    shine_close(encoder);
}

ShineMP3::ShineMP3() = default;

ShineMP3::~ShineMP3() = default;

bool ShineMP3::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_encoder.reset();
    m_frameLength = 0;

    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    const bool known = audio.sampleRate > 0 && audio.bitrate > 0 &&
                       shine_check_config(audio.sampleRate, audio.bitrate) >= 0;
    if (!AudioRecordCheck::check(audio, "MP3", true,
                                 known ? nullptr : "no MPEG audio layer III mode for the rates"))
        return false;
    return openEncoder();
}

bool ShineMP3::openEncoder()
{
    m_encoder.reset();
    m_samples.clear();
    m_stream.clear();
    m_flushed = false;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    shine_config_t config;
    std::memset(&config, 0, sizeof(config));
    shine_set_config_mpeg_defaults(&config.mpeg);
    const bool stereo = audio.channels == 2;
    config.mpeg.mode = stereo ? STEREO : MONO;
    config.mpeg.bitr = audio.bitrate;
    config.wave.channels = stereo ? PCM_STEREO : PCM_MONO;
    config.wave.samplerate = audio.sampleRate;

    m_encoder.reset(shine_initialise(&config));
    if (!m_encoder) {
        qCWarning(lcStrevo, "MP3: cannot open the encoder at %d Hz, %d kbit/s", audio.sampleRate,
                  audio.bitrate);
        return false;
    }
    // Layer III frames hold 1152 samples in MPEG-1 and 576 in MPEG-2 and 2.5.
    const int mpegVersion = shine_check_config(audio.sampleRate, audio.bitrate);
    const unsigned int bytesPerKbit = mpegVersion == MPEG_I ? 144000u : 72000u;
    m_frameLength = bytesPerKbit * static_cast<unsigned int>(audio.bitrate) /
                    static_cast<unsigned int>(audio.sampleRate);
    m_samples.assign(static_cast<size_t>(shine_samples_per_pass(m_encoder.get())) * audio.channels,
                     0);
    return true;
}

unsigned int ShineMP3::frameSize()
{
    return static_cast<unsigned int>(m_samples.size() * sizeof(int16_t));
}

bool ShineMP3::encode(unsigned char* data, unsigned int size, unsigned char* out,
                      unsigned int outCapacity, unsigned int& outSize)
{
    if (!m_encoder || !out)
        return false;
    if (!data) {
        // Draining: shine's bit writer keeps the end of the last frame until the next pass
        // (shine_flush gives nothing back), so one pass of silence pushes it out. The
        // silent frame stays incomplete and is dropped.
        if (!m_flushed && !m_stream.empty()) {
            std::fill(m_samples.begin(), m_samples.end(), 0);
            int written = 0;
            const unsigned char* bytes =
                shine_encode_buffer_interleaved(m_encoder.get(), m_samples.data(), &written);
            if (bytes && written > 0)
                m_stream.insert(m_stream.end(), bytes, bytes + written);
        }
        m_flushed = true;
        return takeFrame(out, outCapacity, outSize);
    }
    if (m_flushed && !openEncoder())
        return false;

    // Little-endian input read byte-wise into an aligned buffer; a short chunk ends in silence.
    const size_t present = std::min<size_t>(m_samples.size(), size / 2);
    for (size_t i = 0; i < present; ++i)
        m_samples[i] =
            static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    std::fill(m_samples.begin() + present, m_samples.end(), 0);

    int written = 0;
    const unsigned char* bytes =
        shine_encode_buffer_interleaved(m_encoder.get(), m_samples.data(), &written);
    if (bytes && written > 0)
        m_stream.insert(m_stream.end(), bytes, bytes + written);
    return takeFrame(out, outCapacity, outSize);
}

bool ShineMP3::takeFrame(unsigned char* out, unsigned int capacity, unsigned int& outSize)
{
    auto syncAt = [this](size_t i) {
        return m_stream[i] == 0xff && (m_stream[i + 1] & 0xe0) == 0xe0;
    };
    size_t start = 0;
    while (start + 1 < m_stream.size() && !syncAt(start))
        ++start;
    if (start > 0) {
        qCDebug(lcStrevo, "MP3: skipped %zu bytes without a frame header", start);
        m_stream.erase(m_stream.begin(), m_stream.begin() + start);
    }
    if (m_stream.size() < 4)
        return false;

    const unsigned int length = m_frameLength + ((m_stream[2] >> 1) & 0x01);
    if (m_stream.size() < length)
        return false;
    if (length > capacity) {
        qCWarning(lcStrevo, "MP3: packet of %u bytes does not fit the %u-byte output buffer",
                  length, capacity);
        m_stream.erase(m_stream.begin(), m_stream.begin() + length);
        return false;
    }
    std::memcpy(out, m_stream.data(), length);
    outSize = length;
    m_stream.erase(m_stream.begin(), m_stream.begin() + length);
    return true;
}
