#pragma once

/// @file
/// The interface through which a job tells its host what its outputs do.

#include "base/StrevoExport.h"
#include "common/OutputStats.h"

#include <QString>

/// Receives what a job's outputs do (Strevo::setObserver). Every call comes on one thread of the
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
    /// Replay output `index` finished a save that Strevo::saveReplay began. `path` is the
    /// file, absolute (empty when no name could be chosen, e.g. every name taken or the folder
    /// gone); `ok` is true when the file holds the whole replay. Otherwise `reason` says why
    /// (a folder that cannot be written, a full volume: the file then holds what was written
    /// before the failure, or is removed when nothing was); the buffer and the job go on.
    virtual void replaySaved(int index, const QString& path, bool ok, const QString& reason)
    {
        (void)index;
        (void)path;
        (void)ok;
        (void)reason;
    }
};
