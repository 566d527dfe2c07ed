#pragma once

#include "common/CodecPreset.h"
#include "common/PixelFormat.h"
#include "common/TimeStamp.h"
#include "encoder/Encoder.h"
#include "encoder/IEncodingCallback.h"
#include "encoder/IEncodingStatus.h"
#include "tools/TestPattern.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Counts the packets a pipeline hands to the host; with a delay, a host that takes its time;
// with `asks`, a host that asks that pipeline for its file inside each call, as strevo-cli does.
struct PacketCounter : IEncodingCallback
{
    void videoEncoded(const QString&, unsigned char*, unsigned int, int, int, unsigned int,
                      unsigned char*, unsigned int) override
    {
        ++video;
        std::this_thread::sleep_for(delay);
        if (asks)
            asks->recordingPath();
    }
    void audioEncoded(unsigned char*, unsigned int, unsigned char*, unsigned int) override
    {
        ++audio;
        if (asks)
            asks->recordingPath();
    }
    std::atomic<long long> video{0}, audio{0};
    std::chrono::milliseconds delay{0};
    Encoder* asks = nullptr;
};

// Drives a real pipeline the way a live host does: a moving NV12 picture and a 1 kHz stereo
// tone at 48 kHz, pushed with stamps, throttled so that the queues stay short (or in real time).
class RecordingHarness : public IEncodingStatus
{
public:
    struct Result
    {
        int initResult = -1;
        long long packets = 0;         // video packets the encoder produced
        QString lastPath;              // recording path when the pipeline stopped
        double writtenBeforeStop = 0;  // seconds of video the muxer had written before stop()
        long long bytesBeforeStop = 0; // size of the recording before stop()
        int liveStateAfterStop = -1;   // AVSync::liveState once stop() returned
        std::vector<std::pair<int, int>> reports; // (type, state) as reported
        bool failedWith(int state) const
        {
            return std::count(reports.begin(), reports.end(), std::make_pair(0, state)) > 0;
        }
    };

    static CodecPreset preset(const QString& folder, const QString& container, int width = 320,
                              int height = 240, double fps = 30.0)
    {
        CodecPreset p;
        p.videoOutput().frameRate = fps;
        p.audioOutput() = {2, 48000, 16, 16384};
        auto& v = p.videoCodec();
        v.codecName = QStringLiteral("X264");
        v.width = width;
        v.height = height;
        v.frameRate = fps;
        v.bitrate = 1000;
        v.keyframeInterval = 2;
        v.preset = QStringLiteral("ultrafast");
        v.tune = QStringLiteral("zerolatency");
        p.audioCodec() = {true, QStringLiteral("AAC"), 48000, 128, 16, 2};
        p.container().format = container;
        p.local().enabled = true;
        p.local().folder = folder;
        p.local().fileNameTemplate = QStringLiteral("take");
        p.streaming().enabled = false;
        return p;
    }
    // The same for a live output to `url` alone.
    static CodecPreset livePreset(const QString& url, const QString& container)
    {
        CodecPreset p = preset(QDir::tempPath(), container);
        p.local().enabled = false;
        p.streaming().enabled = true;
        p.streaming().url = url;
        return p;
    }

    // Records `frames` frames (and the matching audio when the preset has audio).
    Result record(CodecPreset preset, int frames, int stopAfterReport = 0)
    {
        Result result;
        const int w = preset.videoCodec().width, h = preset.videoCodec().height;
        const double fps = preset.videoOutput().frameRate;
        auto encoder = std::make_unique<Encoder>();
        result.initResult = encoder->initialize(this, &preset, false);
        if (result.initResult != 0)
            return result;
        encoder->start();
        TestPattern pattern(w, h);
        TimeStamp ts{1}; // a start stamp
        const int samplesPerFrame = static_cast<int>(std::lround(48000 / fps));
        std::vector<int16_t> audio(samplesPerFrame * 2);
        long long sample = 0;
        long long pictures = 0; // frames pushed with a picture
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < frames; ++i, ++pictures) {
            // A null picture is a frame the source lost.
            const bool lost = dropEvery > 0 && i % dropEvery == dropEvery - 1;
            pictures -= lost ? 1 : 0;
            encoder->enqueueVideo(lost ? nullptr : const_cast<uint8_t*>(pattern.frame(i)), w, h,
                                  PIX_NV12, &ts);
            for (int s = 0; s < samplesPerFrame; ++s, ++sample)
                audio[2 * s] = audio[2 * s + 1] =
                    static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000.0 * sample / 48000.0));
            if (preset.audioCodec().enabled)
                encoder->enqueueAudio(reinterpret_cast<unsigned char*>(audio.data()),
                                      static_cast<int>(audio.size() * 2));
            while (pictures - static_cast<long long>(encoder->encodedVideo().frameCount.load()) >
                       4 &&
                   !failures())
                QThread::usleep(500);
            if (stopAfterReport && failures() >= stopAfterReport)
                break;
            while (realTime && clock.elapsed() < (i + 1) * 1000 / fps)
                QThread::usleep(500);
            if (onFrame)
                onFrame(i, *encoder);
        }
        // Give the muxer a moment to catch up, then see how far it got while the pipeline ran
        // (not for a live output: its written time starts again at each reconnection).
        const AVSync& sync = encoder->getSyncInfo();
        const double fed = (frames - 10) / preset.videoCodec().frameRate;
        const int catchUp = preset.streaming().enabled ? 0 : 300;
        for (int i = 0; i < catchUp && sync.videoWriteTs.load() < fed && !failures(); ++i)
            QThread::msleep(10);
        result.writtenBeforeStop = sync.videoWriteTs.load();
        result.bytesBeforeStop = QFileInfo(encoder->recordingPath()).size();
        encoder->stop();
        result.liveStateAfterStop = sync.liveState.load();
        result.packets = static_cast<long long>(encoder->encodedVideo().frameCount.load());
        result.lastPath = encoder->recordingPath();
        encoder.reset(); // finishes the file
        std::lock_guard<std::mutex> lock(m_mutex);
        result.reports = m_reports;
        return result;
    }

    void ecoderStateCallback(IEncoder*, int type, int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back({type, state});
    }
    QVector<IEncoder*> encoders() override { return {}; }

    int dropEvery = 0;     // every n-th frame is pushed as a lost (null) one
    bool realTime = false; // frames are pushed at the frame rate
    std::function<void(int frame, Encoder&)> onFrame; // after each frame is pushed

    // Reports of type 0: the output failed.
    long failures()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::count_if(m_reports.begin(), m_reports.end(),
                             [](auto r) { return r.first == 0; });
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<int, int>> m_reports; // guarded by m_mutex
};
