#include "codec/audio/PCMEnc.h"

#include "codec/audio/AudioRecordCheck.h"
#include "common/StrevoLog.h"

#include <QDebug>

#include <cstring>

bool PCMEnc::initialize(CodecPreset* preset)
{
    m_preset = *preset;
    m_ready = AudioRecordCheck::check(m_preset.audioCodec(), "PCM", false);
    return m_ready;
}

unsigned int PCMEnc::frameSize()
{
    return m_ready ? static_cast<unsigned int>(m_preset.audioCodec().channels) * 1920u : 0u;
}

unsigned int PCMEnc::maxPacketSize()
{
    return frameSize();
}

bool PCMEnc::encode(unsigned char* data, unsigned int size, unsigned char* out,
                    unsigned int outCapacity, unsigned int& outSize)
{
    if (!m_ready || !data || !out)
        return false;
    if (size > outCapacity) {
        qCWarning(lcStrevo, "PCM: packet of %u bytes does not fit the %u-byte output buffer", size,
                  outCapacity);
        return false;
    }
    std::memcpy(out, data, size);
    outSize = size;
    return true;
}
