#include "codec/audio/AudioRecordCheck.h"

#include "common/CodecModel.h"
#include "common/StrevoLog.h"

#include <QDebug>

bool AudioRecordCheck::check(const CodecModel::AudioCodec& a, const char* encoder,
                             bool needsBitrate, const char* problem)
{
    if (a.channels != 1 && a.channels != 2)
        problem = "channels must be 1 or 2";
    else if (a.bitsPerSample != 16)
        problem = "samples must have 16 bits";
    else if (a.sampleRate <= 0 || a.sampleRate > 384000)
        problem = "sample rate must be from 1 Hz to 384 kHz";
    else if (needsBitrate && a.bitrate <= 0)
        problem = "bitrate must be above 0";
    if (problem)
        qCWarning(lcStrevo, "%s: cannot encode %d Hz, %d channels, %d bits, %d kbit/s: %s", encoder,
                  a.sampleRate, a.channels, a.bitsPerSample, a.bitrate, problem);
    return problem == nullptr;
}
