#pragma once

#include "platform/mf/MFGuid.h"

// Encoder properties by identifier (CODECAPI_*), set between frames on the client's thread.
class ICodecAPI
{
public:
    virtual ~ICodecAPI() = default;
    virtual HRESULT IsSupported(const GUID& api) = 0;
    // E_NOTIMPL for an identifier the encoder does not support.
    virtual HRESULT GetValue(const GUID& api, uint32_t* value) = 0;
    virtual HRESULT SetValue(const GUID& api, uint32_t value) = 0;
};
