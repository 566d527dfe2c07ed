#pragma once

#include "platform/mf/MFGuid.h"

#include <memory>

// Event types a transform sends in the asynchronous model.
enum MediaEventType : uint32_t
{
    METransformUnknown = 600,
    METransformNeedInput = 601,
    METransformHaveOutput = 602,
    METransformDrainComplete = 603,
    METransformMarker = 604,
};

// One event: its type and the status of the operation it reports. Immutable.
class MFMediaEvent
{
public:
    MFMediaEvent(uint32_t type, HRESULT status) : m_type(type), m_status(status) {}
    uint32_t GetType() const { return m_type; }
    HRESULT GetStatus() const { return m_status; }

private:
    const uint32_t m_type;
    const HRESULT m_status;
};
