#pragma once

/// @file
/// The interface through which a job tells its host what its outputs do.

#include "base/StrevoExport.h"
#include "common/OutputStats.h"

#include <QString>

/// Receives what a job's outputs do (Strevo::setObserver). Both calls come on one thread of the
/// job's own, in the order things happened, never under a lock of the library: an observer may
/// call back into the job (Strevo::outputStats, addOutput, removeOutput). A slow observer
/// delays only later notifications, never an output; one that throws has the exception caught
/// and logged. The defaults do nothing, so a host overrides what it needs.
class STREVO_EXPORT IStrevoObserver
{
public:
    virtual ~IStrevoObserver() = default;
    /// Output `index` (Strevo::addOutput's result) changed to `state`. `reason` says why for
    /// Failed and Reconnecting (the server's answer, the failed write; secrets masked) and is
    /// empty otherwise.
    virtual void outputStateChanged(int index, strevo::OutputState state, const QString& reason)
    {
        (void)index;
        (void)state;
        (void)reason;
    }
    /// About once a second for each output that has not stopped: the same snapshot that
    /// Strevo::outputStats(index) returns.
    virtual void outputStats(int index, const strevo::OutputStats& stats)
    {
        (void)index;
        (void)stats;
    }
};
