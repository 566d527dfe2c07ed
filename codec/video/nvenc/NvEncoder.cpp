#include "codec/video/nvenc/NvEncoder.h"

#include "codec/video/nvenc/NvEncoderCuda.h"
#include "codec/video/nvenc/NvEncoderDx11.h"
#include "codec/video/nvenc/NvEncoderDx9.h"
#include "common/CodecPreset.h"
#include "common/PixelFormat.h"

NvEncoder::NvEncoder() = default;
NvEncoder::~NvEncoder() = default;

bool NvEncoder::initialize(CodecPreset* preset)
{
    const bool textures = preset->deviceInfo().deviceIndex == 0 &&
                          preset->processing().textureInput == 1 &&
                          preset->videoCodec().scanMode == 0;
    const int api = preset->processing().textureApi;
    if (textures && api == 2)
        m_inner = std::make_unique<NvEncoderDx9>();
    else if (textures && api == 3)
        m_inner = std::make_unique<NvEncoderDx11>();
    else
        m_inner = std::make_unique<NvEncoderCuda>();
    return m_inner->initialize(preset);
}

bool NvEncoder::encode(unsigned char* data, unsigned int size, int format, unsigned char* out,
                       unsigned int outCapacity, unsigned int& outSize, unsigned int& keyFrame,
                       long long& pts, long long& dts)
{
    return m_inner &&
           m_inner->encode(data, size, format, out, outCapacity, outSize, keyFrame, pts, dts);
}

unsigned int NvEncoder::maxPacketSize()
{
    return m_inner ? m_inner->maxPacketSize() : 0;
}

bool NvEncoder::streamParameters(AVCodecParameters* par)
{
    return m_inner && m_inner->streamParameters(par);
}

void NvEncoder::requestKeyFrame()
{
    if (m_inner)
        m_inner->requestKeyFrame();
}

unsigned char* NvEncoder::extraData()
{
    return m_inner ? m_inner->extraData() : nullptr;
}

unsigned int NvEncoder::extraDataSize()
{
    return m_inner ? m_inner->extraDataSize() : 0;
}

int NvEncoder::supportFormat()
{
    return m_inner ? m_inner->supportFormat() : PIX_NV12;
}

bool NvEncoder::isHWTextureSupport()
{
    return m_inner && m_inner->isHWTextureSupport();
}
