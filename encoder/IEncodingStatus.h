#pragma once

#include "base/StrevoExport.h"

#include <QVector>

class IEncoder;

/// Implemented by whoever created the pipelines. Called on the pipelines' worker threads, with
/// no pipeline lock held.
class STREVO_EXPORT IEncodingStatus
{
public:
    /// ecoderStateCallback()'s `type`.
    enum ReportType : int
    {
        StateReport = 0,   ///< `state` is one of ReportState
        ProgressReport = 1 // `state` is the number of video frames written so far (recordings)
    };
    /// A StateReport's `state`.
    enum ReportState : int
    {
        /// A video packet could not be written. For a recording its file has ended (a full
        /// volume, a file-size limit): its video stops, and this comes once.
        WriteFailed = -1,
        /// Less than 201 MB free on the recording's volume: its video stops.
        LowDiskSpace = -4
    };

    virtual ~IEncodingStatus() = default;
    /// A report about `encoder`: `type` is a ReportType, `state` what that type says. The name
    /// keeps its historical spelling.
    virtual void ecoderStateCallback(IEncoder* encoder, int type, int state) = 0;
    /// Every pipeline of the job; read when pipelines share a video encoder.
    virtual QVector<IEncoder*> encoders() = 0;
};
