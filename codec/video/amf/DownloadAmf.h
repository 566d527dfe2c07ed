#pragma once

#include "base/StrevoExport.h"
#include "common/IThreadCallback.h"

#include <QSize>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class ThreadCallback;
template <class T> class CircuitQueue;

/// Turns an RGBA texture that the host renders (a D3D11Texture2D of the device set on
/// DirectX11Manager) into an NV12 frame in system memory, with the AMF runtime's colour
/// converter on a worker thread of its own, so that the host can feed encoders that take NV12.
///
/// Per frame the host calls enqueue() with its texture and then data(), which starts the next
/// conversion and hands out the oldest converted frame without waiting. At most two converted
/// frames are kept; a frame converted while both places are taken is dropped.
///
/// Threads: every operation but threadCallback() on the host's thread. The texture must stay
/// valid until the next enqueue() returns or the destructor; enqueue() waits for a conversion
/// under way. data() and the destructor are safe without initialize().
class STREVO_EXPORT DownloadAmf : public IThreadCallback
{
public:
    DownloadAmf();
    ~DownloadAmf() override;
    DownloadAmf(const DownloadAmf&) = delete;
    DownloadAmf& operator=(const DownloadAmf&) = delete;

    /// Loads the AMF runtime, sets up the converter for width x height on the shared device and
    /// starts the worker. False, with a warning, when the runtime, the device or a step of the
    /// set-up is missing.
    bool initialize(int width, int height);
    /// The texture (a D3D11Texture2D*) to convert next. A size other than the current one
    /// empties the kept frames (earlier data() pointers become invalid); the converter follows
    /// at its next conversion. Always true.
    bool enqueue(void* texture, const QSize& size);
    /// Starts a conversion and hands out the oldest converted frame: width x height luma bytes,
    /// then the interleaved chroma at half size, rows unpadded. It stays untouched until the next
    /// data() or enqueue(). Null when no frame is ready.
    unsigned char* data();
    /// The size of the frames data() hands out, set by enqueue(); host thread.
    int width() const { return m_width; }
    /// See width().
    int height() const { return m_height; }
    /// The pixel format of data(): always PIX_NV12 (10).
    int format() const;

    /// The converter's worker body: converts the enqueued texture when data() asked for it.
    /// Runs on the worker thread that initialize() starts; a host does not call it.
    void threadCallback() override;

private:
    struct Amf;
    void convertOnce(); // worker, with m_mutex held

    std::unique_ptr<Amf> m_amf;           // set by initialize(), then used by the worker only
    void* m_texture = nullptr;            // guarded by m_mutex: enqueue() and the worker
    std::atomic<bool> m_requested{false}; // set by data() before waking the worker
    // Written by enqueue() with m_mutex held; read by the worker with it held and by the host.
    int m_width = 0;
    int m_height = 0;
    int m_frameSize = 0;
    std::unique_ptr<CircuitQueue<unsigned char>> m_ring; // replaced with m_mutex held
    std::vector<unsigned char> m_scratch;                // worker only
    // Held by the worker for a whole conversion and by enqueue(), so that a texture is never
    // read after the enqueue() that replaced it.
    std::mutex m_mutex;
    std::unique_ptr<ThreadCallback> m_worker; // null until initialize() succeeded
    // The same thread for the worker's own use: set before it starts and never changed, while
    // the destructor clears m_worker as it joins.
    ThreadCallback* m_thread = nullptr;
};
