#pragma once

#include "common/CodecPreset.h"
#include "muxer/IMuxer.h"
#include "muxer/MuxerReports.h"
#include "muxer/StreamHeaders.h"

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

class IMuxerCallback;
class ReplayBuffer;
class ReplaySaver;

// The muxer of a replay buffer (a recording preset with local.replaySeconds above 0): keeps
// the last seconds of the pipeline's packets in memory (ReplayBuffer, bounded by
// local.replayMaxMegabytes) instead of writing them, and on saveReplay() writes what it holds
// into a new file named by the recording rule (ReplaySaver), while the buffer goes on filling.
// To the pipeline it looks like a recording whose packets are written the moment they come:
// it reports each as written, so the pipeline's sound follows its picture as usual. It never
// refuses a packet and never splits; a save that fails (a full or unwritable folder) is
// reported with its reason and costs the buffer nothing.
//
// Threads: as IMuxer says. The packets come under the pipeline's muxer mutex and are kept
// under m_mutex, which saveReplay() takes for the moment of a snapshot (the packets are
// shared, not copied); the file is written on the saver's thread.
class ReplayMuxer : public IMuxer
{
public:
    explicit ReplayMuxer(IMuxerCallback* callback);
    // Waits for a replay being saved, then drops the buffer.
    ~ReplayMuxer() override;

    // Whether `preset` makes a replay buffer: a recording (not live) with replaySeconds above
    // 0.
    static bool isReplay(const CodecPreset& preset);
    // The first replay setting of `preset` out of range, as "field value"; empty when none.
    static QString invalidSettings(const CodecPreset& preset);

    bool initialize(const CodecPreset& preset) override;
    bool isHeaderWritten() override { return m_headerWritten.load(); }
    bool writeHeader() override;
    bool writeVideo(AVPacketPtr packet, bool keyFrame) override;
    bool writeAudio(AVPacketPtr packet) override;
    void skipVideoFrame() override;
    int skipAudioFrame() override;
    void setVideoParameters(const AVCodecParameters* par) override;
    void setVideoExtradata(unsigned char* data, unsigned int size) override;
    void setAudioExtradata(unsigned char* data, unsigned int size) override;
    void setReserved(unsigned int) override {}
    void setPart(int, const QString&) override {}
    long long videoFrameCount() override { return m_frames.load(); }
    void abort() override {}
    // Nothing is written as it comes: the packets' way to a file is a save's.
    void setPacketTiming(IPacketTiming*) override {}
    void detachCallback() override { m_reports.detach(); }
    const QString& recordingPath() override { return m_noPath; }
    bool saveReplay(QString* whyNot) override;
    void waitForReplay() override;
    void replayHeld(long long* bytes, double* seconds) override;

private:
    // Expects m_mutex held: publishes what the buffer holds for lock-free readers.
    void publishLocked();

    MuxerReports m_reports;
    CodecPreset m_preset; // set-up thread; read-only once initialize() returned
    StreamHeaders m_headers;
    const QString m_noPath;      // the buffer itself writes no file
    double m_frameSeconds = 0.0; // fixed by initialize()
    int m_sampleRate = 48000;    // likewise
    int m_audioFrameSize = 960;  // likewise
    bool m_hasAudio = false;     // likewise

    std::unique_ptr<ReplayBuffer> m_buffer; // made by initialize(); used under m_mutex
    long long m_restartsWarned = 0;         // guarded by m_mutex
    std::mutex m_mutex;

    // Copies of the buffer's counts, for readers that take no lock.
    std::atomic<long long> m_frames{0};
    std::atomic<long long> m_heldBytes{0};
    std::atomic<double> m_heldSeconds{0.0};
    std::atomic<bool> m_headerWritten{false};

    // Declared last: destroyed first, so a save in progress ends while everything it reports
    // to is whole.
    std::unique_ptr<ReplaySaver> m_saver;
};
