#pragma once

#include <memory>
#include <mutex>

class AudioThread;
class IAudioThread;
class IVideoThread;
class VideoThread;

// The two worker threads of a pipeline: started by start(), woken by whoever makes their
// wait's condition true, and joined by stop() (video first), or only asked to end when stop()
// runs on one of them. The bodies never reach their thread through this object: they get it
// as QThread::currentThread().
//
// Threads: any thread. m_mutex guards the two threads; it is taken after the pipeline's muxer
// mutex and before a worker's own mutex, and no thread is joined while it is held.
class WorkerThreads
{
public:
    // The bodies outlive this object.
    WorkerThreads(IVideoThread* video, IAudioThread* audio);
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts the audio thread unless it runs.
    void startAudio();
    // Starts the video thread; false when it runs already.
    bool startVideo();
    // Joins both threads, video first, and returns true. Called on one of them, it only asks
    // the video thread to end (after encoding what is queued) and returns false: a thread
    // cannot join itself, and the audio thread, which finishes the file's audio only once the
    // video is complete, is joined by the next call on another thread.
    bool join();
    void wakeVideo();
    void wakeAudio();

private:
    IVideoThread* const m_videoBody;
    IAudioThread* const m_audioBody;
    std::unique_ptr<VideoThread> m_video; // guarded by m_mutex
    std::unique_ptr<AudioThread> m_audio; // likewise
    std::mutex m_mutex;
};
