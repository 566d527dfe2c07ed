#pragma once

#include "base/StrevoExport.h"

// Body of a pipeline's audio worker thread.
class STREVO_EXPORT IAudioThread
{
public:
    virtual ~IAudioThread() = default;
    virtual void audioThread() = 0;
};
