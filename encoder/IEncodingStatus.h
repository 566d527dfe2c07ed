#pragma once

#include "base/StrevoExport.h"

#include <QVector>

class IEncoder;

// Implemented by whoever created the pipelines. Called on the pipelines' worker threads, with
// no pipeline lock held.
class STREVO_EXPORT IEncodingStatus
{
public:
    virtual ~IEncodingStatus() = default;
    // type 0: state -4 low disk space (the video thread ends), -1 a video packet could not be
    // written; type 1: state = video frames written so far (local recordings).
    virtual void ecoderStateCallback(IEncoder* encoder, int type, int state) = 0;
    // Every pipeline of the job; read when pipelines share a video encoder.
    virtual QVector<IEncoder*> encoders() = 0;
};
