#include "platform/amf/AmfTraceAdapter.h"

#include "platform/amf/AmfRuntime.h"

#include <QLoggingCategory>
#include <QString>

Q_LOGGING_CATEGORY(lcAmf, "strevo.amf", QtWarningMsg)

using namespace amf;

namespace {

const char* const kWriterId = "strevo";

AmfTraceAdapter& adapter()
{
    static AmfTraceAdapter a;
    return a;
}

} // namespace

void AmfTraceAdapter::attach(AMFTrace* trace)
{
    trace->RegisterWriter(kWriterId, &adapter());
}

void AmfTraceAdapter::detach(AMFTrace* trace)
{
    trace->RegisterWriter(kWriterId, nullptr);
}

void AmfTraceAdapter::Write(AMF_TRACE_LEVEL level, const char* scope, const char* message)
{
    if (level <= AMF_TRACE_WARNING)
        qCWarning(lcAmf, "%s: %s", scope ? scope : "", message ? message : "");
    else
        qCDebug(lcAmf, "%s: %s", scope ? scope : "", message ? message : "");
}

void AmfTraceAdapter::error(const char* scope, const char* file, int line, AMF_RESULT result,
                            const QString& message)
{
    AMFTrace* trace = AmfRuntime::trace();
    const char* text = trace ? trace->GetResultText(result) : nullptr;
    const QByteArray record = QStringLiteral("AMF_ERROR %1 : %2: %3")
                                  .arg(static_cast<int>(result))
                                  .arg(QString::fromUtf8(text ? text : "unknown"), message)
                                  .toUtf8();
    if (trace)
        trace->Trace(file, line, AMF_TRACE_ERROR, scope, record.constData());
    else
        adapter().Write(AMF_TRACE_ERROR, scope, record.constData());
}
