#pragma once

#include "base/StrevoExport.h"

// Body of a pipeline's video worker thread.
class STREVO_EXPORT IVideoThread
{
public:
    virtual ~IVideoThread() = default;
    virtual void videoThread() = 0;
};
