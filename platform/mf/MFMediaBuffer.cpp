#include "platform/mf/MFMediaBuffer.h"

std::shared_ptr<MFMediaBuffer> MFMediaBuffer::create(uint32_t maxLength)
{
    return std::make_shared<MFMediaBuffer>(maxLength);
}

MFMediaBuffer::MFMediaBuffer(uint32_t maxLength)
    : m_data(new uint8_t[maxLength > 0 ? maxLength : 1]), m_max(maxLength)
{
}

HRESULT MFMediaBuffer::Lock(uint8_t** data, uint32_t* maxLength, uint32_t* currentLength)
{
    if (!data)
        return E_POINTER;
    *data = m_data.get();
    if (maxLength)
        *maxLength = m_max;
    if (currentLength)
        *currentLength = m_current;
    return S_OK;
}

HRESULT MFMediaBuffer::Unlock()
{
    return S_OK;
}

HRESULT MFMediaBuffer::SetCurrentLength(uint32_t length)
{
    if (length > m_max)
        return E_INVALIDARG;
    m_current = length;
    return S_OK;
}
