#pragma once

#include "api/StrevoExport.h"

#include <QString>

class IVideoCodec;
class IAudioCodec;

// One encoding pipeline: encodes and writes one output described by one CodecPreset.
class STREVO_EXPORT IEncoder
{
public:
    IEncoder() = default;
    IEncoder(const IEncoder&) = default;
    IEncoder& operator=(const IEncoder&) = default;
    virtual ~IEncoder() = default;

    // A new video encoder for a codec name ("X264", ...; exact case), not yet initialised,
    // owned by the caller; null for an empty or unknown name.
    static IVideoCodec* createVideoEncoder(const QString& name);
    // A new audio encoder for "AAC", "PCM" or "MP3" (exact case); null otherwise.
    static IAudioCodec* createAudioEncoder(const QString& name);

    // -1.0 until the first video packet has been written.
    double startTime() const { return m_startTime; }

protected:
    QString m_emptyPath;       // answered as recording path by a pipeline without muxer
    double m_startTime = -1.0;
};
