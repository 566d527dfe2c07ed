#pragma once

#include "platform/amf/AmfInterfaces.h"

#include <cstdint>

// The process-wide holder of the AMF runtime library ("libamfrt64.so.1", loaded by name with
// dlopen): its factory, trace and debug interfaces and its version, shared by every AmfEncoder,
// every DownloadAmf and the availability probe. Users count themselves in and out through
// AmfRuntimeUser; the library is loaded by the first and unloaded after the last.
// AMD's own Linux runtime has the same file name and entry points but a different binary
// interface: a library that does not export this interface's marker (kInterfaceVersionSymbol,
// holding kInterfaceVersion) is closed again before anything of it is called, with one warning
// per process, and AMF counts as missing.
// Thread-safe: loading, counting and unloading are serialised by one mutex.
class AmfRuntime
{
public:
    static constexpr const char* kLibraryName = "libamfrt64.so.1";

    // Loads on first use (AMFInit with AMF_FULL_VERSION, then AMFQueryVersion) and counts one
    // more user. AMF_FAIL when the library, its marker or an entry point is missing; otherwise
    // the result of the failing entry point. Nothing is counted on failure.
    static amf::AMF_RESULT init();
    // Counts one user less; the last one unloads the library.
    static void terminate();

    // Valid while a user is counted in; null otherwise.
    static amf::AMFFactory* factory();
    static amf::AMFTrace* trace();
    static uint64_t version();
    // Number of users counted in.
    static int users();
};

// One counted use of the runtime for the lifetime of the object.
class AmfRuntimeUser
{
public:
    AmfRuntimeUser() = default;
    ~AmfRuntimeUser() { release(); }
    AmfRuntimeUser(const AmfRuntimeUser&) = delete;
    AmfRuntimeUser& operator=(const AmfRuntimeUser&) = delete;

    amf::AMF_RESULT acquire()
    {
        if (m_held)
            return amf::AMF_OK;
        const amf::AMF_RESULT r = AmfRuntime::init();
        m_held = r == amf::AMF_OK;
        return r;
    }
    void release()
    {
        if (m_held)
            AmfRuntime::terminate();
        m_held = false;
    }
    bool held() const { return m_held; }

private:
    bool m_held = false;
};
