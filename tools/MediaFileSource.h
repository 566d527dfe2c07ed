#pragma once

#include "common/AVHandles.h"
#include "tools/MediaSource.h"

#include <deque>
#include <vector>

// A media file decoded with libavformat and libavcodec: the best video stream, converted to
// NV12 at its own size (the pipelines scale it to each output's size) when read() hands it
// out, into the host's buffer when one was given (readNextInto), and the best audio
// stream, resampled to the project's audio format. Audio is aligned to the first video frame:
// sound before it is cut, a gap before the first sound is filled with silence.
//
// Damage does not end the input: a packet that cannot be read or decoded, and a frame the
// decoder reports as broken, are skipped and counted (damaged()), as players skip them.
class MediaFileSource : public MediaSource
{
public:
    MediaFileSource(const QString& path, int sampleRate, int channels);
    ~MediaFileSource() override;

    bool open(QString* error) override;
    bool read(Chunk* chunk) override;
    QString error() const override { return m_error; }
    bool isLive() const override { return false; }
    bool hasAudio() const override { return m_audioIndex >= 0; }
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    double frameRate() const override { return m_frameRate; }
    QString describe() const override;
    long long damaged() const override { return m_damaged; }
    int directFormat() const override;
    void readNextInto(unsigned char* buffer) override { m_target = buffer; }

private:
    // A decoded picture (kept as the decoder's reference-counted frame until read() converts
    // it) or a block of converted audio.
    struct Item
    {
        AVFramePtr picture;
        std::vector<unsigned char> data;
    };

    bool openDecoder(int index, AVCodecContextPtr* decoder, QString* error);
    // Decodes until at least one item is pending or the input is exhausted.
    bool fill();
    bool drain(AVCodecContext* decoder, bool video);
    void addVideo(AVFrame* frame);
    // Scales and converts a decoded picture into an NV12 frame at `dest`; false when the
    // picture cannot be converted.
    bool convert(const AVFrame* picture, unsigned char* dest);
    void addAudio(AVFrame* frame);
    void addAudioSamples(const unsigned char* data, int bytes, double firstSampleTime);
    bool fail(const QString& what, int code);

    QString m_path;
    int m_sampleRate;
    int m_channels;
    // Counts a skipped packet or frame; false once damage goes on for too long to be worth
    // reading further (then error() says why).
    bool skipDamaged(const QString& what, int code);

    AVInputFormatContextPtr m_format;
    AVCodecContextPtr m_video;
    AVCodecContextPtr m_audio;
    AVFramePtr m_frame;
    AVPacketPtr m_packet;
    SwsContextPtr m_scaler;
    SwrContextPtr m_resampler;
    int m_videoIndex = -1;
    int m_audioIndex = -1;
    int m_width = 0;
    int m_height = 0;
    double m_frameRate = 0.0;
    bool m_endOfInput = false;
    bool m_flushed = false;
    long long m_damaged = 0; // packets and frames skipped as damaged
    int m_damagedInARow = 0; // reads in a row that failed; reset by a good packet

    double m_videoStart = -1.0;         // seconds; the first video frame's time, -1 before it
    std::vector<unsigned char> m_early; // audio decoded before the first video frame
    double m_earlyStart = -1.0;         // its first sample's time
    long long m_audioBytesOut = 0;      // audio passed on, for the silence/cut alignment

    std::deque<Item> m_pending;
    std::vector<unsigned char> m_picture; // the last video frame read() into the source's own
    Item m_audioItem;                     // the last audio block read()
    unsigned char* m_target = nullptr;    // the next read()'s picture destination, if given
    QString m_error;
};
