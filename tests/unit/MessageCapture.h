#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <mutex>

// Collects Qt log messages ("warning: ...") of any thread and their categories while alive, the
// library's debug lines included (it shows warnings and errors only unless asked).
class MessageCapture
{
public:
    MessageCapture()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
        QLoggingCategory::setFilterRules(QStringLiteral("strevo*=true"));
    }
    ~MessageCapture()
    {
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(m_previous);
        std::lock_guard<std::mutex> lock(s_mutex);
        s_current = nullptr;
    }

    QStringList messages() const
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return m_messages;
    }
    QStringList categories() const
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return m_categories;
    }
    int count(const QString& needle) const
    {
        int n = 0;
        for (const QString& m : messages())
            n += m.contains(needle) ? 1 : 0;
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        static const char* const names[] = {"debug", "warning", "critical", "fatal", "info"};
        std::lock_guard<std::mutex> lock(s_mutex);
        if (!s_current)
            return;
        s_current->m_messages << QStringLiteral("%1: %2").arg(QLatin1String(names[type]), text);
        s_current->m_categories << QLatin1String(context.category ? context.category : "");
    }
    static inline std::mutex s_mutex;
    static inline MessageCapture* s_current = nullptr; // guarded by s_mutex

    QtMessageHandler m_previous = nullptr;
    QStringList m_messages;   // guarded by s_mutex
    QStringList m_categories; // guarded by s_mutex, one per message
};
