#pragma once

#include "platform/mf/MFGuid.h"

#include <memory>

// A block of system memory of a fixed maximum length with a current (valid) length. One owner
// thread at a time: a buffer is filled before it is handed on and read after it was received.
class MFMediaBuffer
{
public:
    // The bytes are left uninitialised: every user fills what it sets as current length.
    static std::shared_ptr<MFMediaBuffer> create(uint32_t maxLength);
    explicit MFMediaBuffer(uint32_t maxLength);

    // The bytes, the maximum and the current length, until Unlock().
    HRESULT Lock(uint8_t** data, uint32_t* maxLength, uint32_t* currentLength);
    HRESULT Unlock();
    uint32_t GetCurrentLength() const { return m_current; }
    // E_INVALIDARG when longer than the maximum.
    HRESULT SetCurrentLength(uint32_t length);
    uint32_t GetMaxLength() const { return m_max; }

private:
    std::unique_ptr<uint8_t[]> m_data;
    uint32_t m_max;
    uint32_t m_current = 0;
};
