#pragma once

#include "common/AudioQueue.h"
#include "common/LockedFifo.h"

#include <QString>
#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

class AVResampler;
class CodecPreset;
class IAudioCodec;
class IEncodingCallback;
class IMuxer;
struct AVSync;
struct EncodedAudio;

// The audio side of one pipeline: the bounded FIFO of the host's sound, its conversion into
// the encoder's chunks, the audio encoder, and the hand-over of the packets to the current
// muxer and to the host. It also keeps what the pipeline's audio gate looks at: whether the
// current file may take sound yet, and how many seconds of sound it was given.
//
// It is given the current muxer with each call and never opens or closes one. At a time split
// the old file first gets the sound of its video (finish(), with last false), then
// startFile() begins the counts of the next (MuxerHandOver does both).
//
// Threads: enqueue() on the host's audio input thread, one call at a time; queued(),
// mayStart(), handedSeconds() and restartPending() on any thread (the audio thread reads them
// inside its wait); deliverToHost() on the audio thread without a lock; requestRestart() on the
// muxer's connection thread; configure(), open(), reset() and makeResampler() while the
// pipeline's workers are stopped. Every other operation expects the pipeline's muxer mutex held:
// the audio thread, and the thread that replaces the muxer at a time split, call them.
class AudioEncoding
{
public:
    using Packets = std::vector<std::vector<unsigned char>>;

    // The unit in which sound is held back for the video codec's delay
    // (EncodedAudio::holdChunks): 20 ms of 48 kHz stereo 16-bit.
    static constexpr int kHoldChunkBytes = 3840;

    // `preset`, `sync`, `encoded` and `callback` are the pipeline's and outlive this object.
    // `framesFor` turns the sound encoded so far, in video frames, into AVSync::audioFrames.
    AudioEncoding(const CodecPreset& preset, AVSync& sync, EncodedAudio& encoded,
                  const std::atomic<IEncodingCallback*>& callback,
                  std::function<long long(double)> framesFor);
    ~AudioEncoding();
    AudioEncoding(const AudioEncoding&) = delete;
    AudioEncoding& operator=(const AudioEncoding&) = delete;

    // The first audio number of `preset` the pipeline cannot work with, as "field value";
    // empty when all are usable or the output has no sound.
    static QString invalidSettings(const CodecPreset& preset);

    // Fixes what initialize() decides, with the preset in place: whether the pipeline has an
    // output (without one, sound is never held back) and the FIFO's bound.
    void configure(bool muxEnabled);
    // Opens the preset's audio encoder and its packet buffer; false (with a warning for an
    // unknown name) fails initialize() with CodecError.
    bool open(CodecPreset* preset);
    // Before initialize() sets up again: no encoder, nothing queued, the counts of a new
    // pipeline.
    void reset();
    // With the pipeline set up: the resampler the sound goes through.
    void makeResampler();

    IAudioCodec* codec() const { return m_codec.get(); }
    // Bytes per second of the project's audio (the host's format).
    int projectBytesPerSecond() const;

    // Queues one buffer of the host's sound (null data: a lost buffer), counting what came in;
    // false when nothing was queued (empty data, or the FIFO is full, which is counted).
    bool enqueue(unsigned char* data, int size);

    int queued() const { return m_fifo.count(); }
    // The queued sound in hold-back chunks, rounded up, whatever size the host's buffers
    // have; a queue of lost buffers alone counts as one.
    int queuedChunks() const;
    bool mayStart() const { return m_mayStart.load(); }
    double handedSeconds() const { return m_handedSeconds.load(); }
    bool restartPending() const { return m_restart.load(); }
    void requestRestart() { m_restart.store(true); }
    // Takes (and clears) a restart request.
    bool takeRestart() { return m_restart.exchange(false); }

    // Expect the pipeline's muxer mutex held, `muxer` being the current one (or null).

    // The current file holds its first picture, so sound may follow: true the first time.
    bool pictureWritten() { return !m_mayStart.exchange(true); }
    // A new file: nothing handed to it yet, and no sound before its first picture.
    void startFile();
    // Encodes the next queued buffer, while fewer than `limit` chunks went to the encoder for
    // the current file; a lost buffer becomes a gap of one audio frame.
    void encodeQueued(IMuxer* muxer, long long limit = std::numeric_limits<long long>::max());
    // The current file's video is complete (`videoFrames` encoded when there is no muxer): the
    // queued sound that belongs to it is encoded, then silence until the encoder has given
    // out as much sound as there is video. `last`: the pipeline stops, so the encoder is also
    // drained to its end.
    void finish(IMuxer* muxer, long long videoFrames, bool last);
    // A live output reconnected: the sound queued while it was down goes, and the gate waits
    // for the reopened stream's first picture.
    void restartLive();
    // The packets encoded since the last call, for the host.
    Packets takeForHost();

    // Without a lock: hands `packets` to the host's callback.
    void deliverToHost(Packets& packets) const;

private:
    void encodeResampled(IMuxer* muxer, long long limit);
    void encode(IMuxer* muxer, unsigned char* data, int size);
    double chunkSeconds() const;

    const CodecPreset& m_preset;
    AVSync& m_sync;
    EncodedAudio& m_encoded;
    const std::atomic<IEncodingCallback*>& m_callback;
    const std::function<long long(double)> m_framesFor;

    // Fixed while the workers are stopped.
    std::unique_ptr<IAudioCodec> m_codec;
    bool m_muxEnabled = true;
    long long m_fifoLimit = 0;

    LockedFifo<AudioQueue> m_fifo;         // locks itself
    std::atomic<long long> m_fifoBytes{0}; // bytes in m_fifo, kept by both ends
    // Set once the current file has its first picture (or always without outputs); written
    // under the muxer mutex, read by the audio thread's wait.
    std::atomic<bool> m_mayStart{false};
    // Seconds of sound handed to the current file (packets and skipped frames): the audio gate
    // holds it at the written video's time, so that sound never runs ahead of the picture,
    // however far the muxing thread lags. Written under the muxer mutex, read by the gate.
    std::atomic<double> m_handedSeconds{0.0};
    // Raised by a live output that (re)connected, taken by the audio thread.
    std::atomic<bool> m_restart{false};

    // Guarded by the pipeline's muxer mutex.
    std::unique_ptr<AVResampler> m_resampler;
    std::vector<unsigned char> m_packet; // behind EncodedAudio::data
    double m_secondsOut = 0.0;           // sound in the packets of the current file
    long long m_chunksIn = 0;            // encoder chunks fed for the current file
    Packets m_forHost;                   // packets waiting for the host's callback
};
