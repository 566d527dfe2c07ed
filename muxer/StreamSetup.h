#pragma once

#include "muxer/ContainerTable.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

class CodecPreset;
class StreamHeaders;
struct AVCodecParameters;
struct AVDictionary;
struct AVFormatContext;
struct AVOutputFormat;
struct AVStream;

// What a container is made of for a preset: the codecs, the frame rate and audio frame size
// that stamp the packets, the streams as libavformat is told of them, and the header options
// of the container's row. prepare() also decides whether the container takes the codecs.
//
// Threads: prepare() on the set-up thread, before the output opens; the rest is read-only
// afterwards and used from whichever thread makes the container.
class StreamSetup
{
public:
    StreamSetup(const CodecPreset& preset, const StreamHeaders& headers);

    // Takes the container and its row, and checks that it takes the codecs (a trial header on
    // a null output, where the headers allow one); false, with a warning, when not. A null
    // `format`: there is no such container.
    bool prepare(const AVOutputFormat* format, const ContainerTable::Row& row);

    // Fills a context with the streams the preset describes (no I/O); false when out of memory.
    bool addStreams(AVFormatContext* format, AVStream** video, AVStream** audio) const;
    // The options of the container's header (the caller frees them).
    AVDictionary* headerOptions() const;

    const ContainerTable::Row& row() const { return m_row; }
    const AVOutputFormat* format() const { return m_format; }
    // A crash-safe mp4/mov recording, written in fragments.
    bool fragmented() const { return m_fragmented; }
    bool hasAudio() const { return m_audioId != AV_CODEC_ID_NONE; }
    // The video's header needs the encoder's parameter sets (H.264, HEVC).
    bool videoNeedsHeaders() const;
    AVRational frameRate() const { return m_frameRate; }
    int sampleRate() const;
    int audioFrameSize() const { return m_audioFrameSize; }

    // Samples per audio packet for a codec id at a sample rate (960 when the codec has none).
    static int audioFrameSize(int codecId, int sampleRate);

private:
    bool describeVideo(AVCodecParameters* par) const;
    bool describeAudio(AVCodecParameters* par) const;
    // False, with a warning naming codec, container and the reason, when the container does
    // not take one of the codecs.
    bool takesCodecs() const;
    // Writes a header with the streams into a throw-away context and null output; false, with
    // the warning, when libavformat refuses it.
    bool trialHeader() const;
    // `id` NONE: the pair as a whole. Always false.
    bool refuse(int id, const char* why) const;

    const CodecPreset& m_preset;
    const StreamHeaders& m_headers;
    ContainerTable::Row m_row{};
    const AVOutputFormat* m_format = nullptr;
    bool m_fragmented = false;
    int m_videoId = AV_CODEC_ID_NONE;
    int m_audioId = AV_CODEC_ID_NONE;
    AVRational m_frameRate{0, 1};
    int m_audioFrameSize = 960;
};
