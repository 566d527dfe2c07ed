#pragma once

#include "base/StrevoExport.h"

/// Body of a pipeline's video worker thread.
class STREVO_EXPORT IVideoThread
{
public:
    virtual ~IVideoThread() = default;
    /// Runs once on the video worker thread, until the pipeline stops it.
    virtual void videoThread() = 0;
};
