#pragma once

#include <QSet>
#include <QSize>
#include <QString>
#include <atomic>
#include <mutex>

// Which refusals of a job's input were already said, so that a host that keeps sending what is
// refused gets one warning, not one per frame.
//
// Threads: any; each call locks what it needs (accept() takes no lock in the common case).
class InputRefusals
{
public:
    static constexpr int kSources = 3;

    // The raw frame input, per source: true when the source's frame of `size` and `format` is
    // refused for a new reason (what the source sends changed, or it is refused again after
    // an accepted frame), and the caller warns.
    bool refuse(int source, QSize size, int format);
    // The source's frame was accepted: its next refusal is new again.
    void accept(int source);
    // A new run of the job: nothing was said yet.
    void reset();
    // The typed input: true the first time `why` is refused (the caller warns). The record is
    // bounded: after many different reasons it starts afresh.
    bool firstTime(const QString& why);

private:
    struct Shape
    {
        QSize size;
        int format = 0;
        bool refused = false; // the source's last frame was refused
    };

    std::mutex m_mutex;
    Shape m_shapes[kSources]; // guarded by m_mutex
    QSet<QString> m_said;     // guarded by m_mutex
    // Bit i: m_shapes[i].refused; written under m_mutex, read without it by accept().
    std::atomic<int> m_anyRefused{0};
};
