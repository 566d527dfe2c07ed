#pragma once

#include "api/StrevoExport.h"

#include <QMap>
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

    // What the library can offer on this machine, as key → name maps ordered by key. Every
    // name is one the codec factories accept (IEncoder::createVideoEncoder/createAudioEncoder);
    // container names are file extensions; keys are distinct powers of two and stay the same
    // from release to release. The video list always has the six software encoders and lists a
    // hardware encoder only when the machine can run it. It is built anew on each call, and
    // the hardware checks open and close encoder sessions: call it when the host builds its
    // codec choice, not per frame.
    static QMap<int, QString> availableVideoCodecs();
    static QMap<int, QString> availableAudioCodecs();
    static QMap<int, QString> availableContainers();
};
