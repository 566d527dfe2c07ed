#pragma once

#include "api/StrevoExport.h"

#include <QObject>
#include <QString>

// The library's facade for the host.
//
// The static operations keep no state and may be called from any thread.
class STREVO_EXPORT Strevo : public QObject
{
    Q_OBJECT

public:
    explicit Strevo(QObject* parent = nullptr);
    ~Strevo() override;

    // libavcodec's codec identifier (AVCodecID) for one of the library's codec names, such as
    // "X264" or "AAC"; 0 (no codec) for any other name. Names are compared exactly, with case.
    static int codecIdFromName(const QString& name);
};
