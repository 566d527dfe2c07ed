#pragma once

#include <QString>
#include <QStringList>
#include <mutex>

class ProgressScreen;

// strevo-cli's messages on standard error, as "strevo-cli: <text>" with the job's secrets
// masked; a progress line on the terminal is erased first. The library's worker threads post
// their messages, and the host thread says them at its next flush().
//
// Threads: post() on any thread; everything else on the host thread that runs the job.
class JobMessages
{
public:
    // `secrets` (stream keys, passwords) are masked in every message; `progress` outlives this
    // object.
    JobMessages(const QStringList& secrets, ProgressScreen& progress);

    // Prints the message now.
    void say(const QString& text);
    // Queues a message for the next flush().
    void post(const QString& text);
    // Prints the queued messages.
    void flush();
    // `text` with the secrets masked.
    QString redact(const QString& text) const;

private:
    const QStringList m_secrets;
    ProgressScreen& m_progress;
    std::mutex m_mutex;
    QStringList m_posted; // guarded by m_mutex: messages from worker threads
};
