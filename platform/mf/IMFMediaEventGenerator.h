#pragma once

#include "platform/mf/MFMediaEvent.h"

#include <memory>

// GetEvent flag: return MF_E_NO_EVENTS_AVAILABLE at once rather than wait.
constexpr uint32_t MF_EVENT_FLAG_NO_WAIT = 1;

// The event source of an asynchronous transform. Any thread.
class IMFMediaEventGenerator
{
public:
    virtual ~IMFMediaEventGenerator() = default;
    // The oldest pending event. With MF_EVENT_FLAG_NO_WAIT, MF_E_NO_EVENTS_AVAILABLE when
    // there is none; otherwise waits for one, at most timeoutMs milliseconds (this layer
    // never waits without a bound), then answers MF_E_NO_EVENTS_AVAILABLE. MF_E_SHUTDOWN
    // once the source was shut down and is empty.
    virtual HRESULT GetEvent(uint32_t flags, std::shared_ptr<MFMediaEvent>* event,
                             int timeoutMs = 0) = 0;
};
