#include "tools/JobMessages.h"

#include "common/Redact.h"
#include "tools/ProgressScreen.h"

#include <cstdio>

JobMessages::JobMessages(const QStringList& secrets, ProgressScreen& progress)
    : m_secrets(secrets), m_progress(progress)
{
}

void JobMessages::say(const QString& text)
{
    m_progress.clear();
    // A failed write (the reader has gone) is dropped: messages must not stop the recording.
    std::fprintf(stderr, "strevo-cli: %s\n", qPrintable(redact(text)));
}

void JobMessages::post(const QString& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_posted.append(text);
}

void JobMessages::flush()
{
    QStringList messages;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.swap(m_posted);
    }
    for (const QString& m : messages)
        say(m);
}

QString JobMessages::redact(const QString& text) const
{
    return redactSecrets(text, m_secrets);
}
