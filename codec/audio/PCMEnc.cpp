#include "codec/audio/PCMEnc.h"

#include <QDebug>

#include <cstring>

bool PCMEnc::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    const CodecModel::AudioCodec& audio = m_preset.audioCodec();
    m_ready = false;
    if (audio.channels != 1 && audio.channels != 2) {
        qWarning("PCM: cannot encode %d channels, only 1 or 2", audio.channels);
        return false;
    }
    if (audio.sampleRate <= 0) {
        qWarning("PCM: sample rate %d Hz", audio.sampleRate);
        return false;
    }
    m_ready = true;
    return true;
}

unsigned int PCMEnc::frameSize()
{
    return m_ready ? static_cast<unsigned int>(m_preset.audioCodec().channels) * 1920u : 0u;
}

bool PCMEnc::encode(unsigned char* data, unsigned int size, unsigned char* out,
                    unsigned int& outSize)
{
    if (!data || !out)
        return false;
    std::memcpy(out, data, size);
    outSize = size;
    return true;
}
