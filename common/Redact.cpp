#include "common/Redact.h"

#include <QRegularExpression>
#include <QStringList>

QString redactSecrets(const QString& text, const QStringList& secrets)
{
    static const QRegularExpression userInfo(QStringLiteral("(://)[^/@\\s]+@"));
    static const QRegularExpression query(
        QStringLiteral("([?&;](?:passphrase|password|passwd|pass|pwd|key|streamkey|stream_key|"
                       "token|secret|auth)=)[^&;\\s]*"),
        QRegularExpression::CaseInsensitiveOption);
    QString out = text;
    for (const QString& secret : secrets) {
        if (!secret.isEmpty())
            out.replace(secret, QStringLiteral("***"));
    }
    out.replace(userInfo, QStringLiteral("\\1***@"));
    out.replace(query, QStringLiteral("\\1***"));
    return out;
}
