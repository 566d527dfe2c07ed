#pragma once

namespace CodecModel {
struct AudioCodec;
}

// The settings check every audio encoder runs before it opens: 1 or 2 channels, 16 bits per
// sample (the pipeline's only sample format), a sample rate from 1 Hz to 384 kHz and, for
// encoders with rate control, a bitrate above 0. `problem` is the encoder's own finding (null
// when it has none) and fails the check too. On failure one warning names the encoder, the
// values and what is wrong ("AAC: cannot encode 48000 Hz, 6 channels, 16 bits, 160 kbit/s:
// channels must be 1 or 2").
class AudioRecordCheck
{
public:
    static bool check(const CodecModel::AudioCodec& audio, const char* encoder, bool needsBitrate,
                      const char* problem = nullptr);
};
