#pragma once

#include "tools/MediaSource.h"

#include <deque>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
struct SwsContext;

// A media file decoded with libavformat and libavcodec: the best video stream, converted to
// NV12 at its own size (the pipelines scale it to each output's size), and the best audio
// stream, resampled to the project's audio format. Audio is aligned to the first video frame:
// sound before it is cut, a gap before the first sound is filled with silence.
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

private:
    struct Deleters
    {
        void operator()(AVFormatContext* p) const;
        void operator()(AVCodecContext* p) const;
        void operator()(AVFrame* p) const;
        void operator()(AVPacket* p) const;
        void operator()(SwsContext* p) const;
        void operator()(SwrContext* p) const;
    };
    struct Item
    {
        bool video = false;
        std::vector<unsigned char> data;
    };

    bool openDecoder(int index, std::unique_ptr<AVCodecContext, Deleters>* decoder, QString* error);
    // Decodes until at least one item is pending or the input is exhausted.
    bool fill();
    bool drain(AVCodecContext* decoder, bool video);
    void addVideo(AVFrame* frame);
    void addAudio(AVFrame* frame);
    void addAudioSamples(const unsigned char* data, int bytes, double firstSampleTime);
    bool fail(const QString& what, int code);

    QString m_path;
    int m_sampleRate;
    int m_channels;
    std::unique_ptr<AVFormatContext, Deleters> m_format;
    std::unique_ptr<AVCodecContext, Deleters> m_video;
    std::unique_ptr<AVCodecContext, Deleters> m_audio;
    std::unique_ptr<AVFrame, Deleters> m_frame;
    std::unique_ptr<AVPacket, Deleters> m_packet;
    std::unique_ptr<SwsContext, Deleters> m_scaler;
    std::unique_ptr<SwrContext, Deleters> m_resampler;
    int m_videoIndex = -1;
    int m_audioIndex = -1;
    int m_width = 0;
    int m_height = 0;
    double m_frameRate = 0.0;
    bool m_endOfInput = false;
    bool m_flushed = false;

    double m_videoStart = -1.0;         // seconds; the first video frame's time, -1 before it
    std::vector<unsigned char> m_early; // audio decoded before the first video frame
    double m_earlyStart = -1.0;         // its first sample's time
    long long m_audioBytesOut = 0;      // audio passed on, for the silence/cut alignment

    std::deque<Item> m_pending;
    Item m_videoItem; // the last video frame read()
    Item m_audioItem; // the last audio block read()
    QString m_error;
};
