#include "platform/mf/MFSample.h"

#include <cstring>

HRESULT MFSample::AddBuffer(std::shared_ptr<MFMediaBuffer> buffer)
{
    if (!buffer)
        return E_POINTER;
    m_buffers.push_back(std::move(buffer));
    return S_OK;
}

uint32_t MFSample::GetTotalLength() const
{
    uint32_t total = 0;
    for (const auto& b : m_buffers)
        total += b->GetCurrentLength();
    return total;
}

HRESULT MFSample::ConvertToContiguousBuffer(std::shared_ptr<MFMediaBuffer>* buffer)
{
    if (!buffer)
        return E_POINTER;
    if (m_buffers.empty())
        return E_UNEXPECTED;
    if (m_buffers.size() > 1) {
        auto joined = MFMediaBuffer::create(GetTotalLength());
        uint8_t* to = nullptr;
        joined->Lock(&to, nullptr, nullptr);
        for (const auto& b : m_buffers) {
            uint8_t* from = nullptr;
            uint32_t length = 0;
            b->Lock(&from, nullptr, &length);
            std::memcpy(to, from, length);
            to += length;
            b->Unlock();
        }
        joined->Unlock();
        joined->SetCurrentLength(joined->GetMaxLength());
        m_buffers.assign(1, joined);
    }
    *buffer = m_buffers.front();
    return S_OK;
}
