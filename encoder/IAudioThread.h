#pragma once

#include "base/StrevoExport.h"

/// Body of a pipeline's audio worker thread.
class STREVO_EXPORT IAudioThread
{
public:
    virtual ~IAudioThread() = default;
    /// Runs once on the audio worker thread, until the pipeline stops it.
    virtual void audioThread() = 0;
};
