#pragma once

#include "platform/amf/AmfInterfaces.h"

class QString;

// Routes the AMF runtime's trace into Qt's log (category "strevo.amf": errors as warnings,
// warnings as warnings, the rest as debug lines), and writes the library's own error records
// through the runtime's trace so that they reach every writer the runtime has.
class AmfTraceAdapter : public amf::AMFTraceWriter
{
public:
    // Registers / removes the adapter on a runtime's trace (AmfRuntime does so on load/unload).
    static void attach(amf::AMFTrace* trace);
    static void detach(amf::AMFTrace* trace);

    // One error record "AMF_ERROR <result> : <runtime's text for it>: <message>" from `file`
    // and `line`, through the loaded runtime's trace, or straight to Qt's log without one.
    static void error(const char* scope, const char* file, int line, amf::AMF_RESULT result,
                      const QString& message);

    void Write(amf::AMF_TRACE_LEVEL level, const char* scope, const char* message) override;
};
