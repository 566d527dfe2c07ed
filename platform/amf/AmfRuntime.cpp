#include "platform/amf/AmfRuntime.h"

#include "common/StrevoLog.h"
#include "platform/amf/AmfTraceAdapter.h"

#include <QDebug>
#include <dlfcn.h>
#include <memory>
#include <mutex>

using namespace amf;

namespace {

struct DlClose
{
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, DlClose>;

struct Runtime
{
    std::mutex mutex;
    // All guarded by mutex; factory and trace are read without it by users, who are counted in
    // and so keep the library loaded.
    LibraryHandle library;
    AMFFactory* factory = nullptr;
    AMFTrace* trace = nullptr;
    AMFDebug* debug = nullptr;
    uint64_t version = 0;
    int users = 0;
    bool foreignWarned = false; // a library without this interface's marker was reported
};

Runtime& runtime()
{
    static Runtime r;
    return r;
}

// With the mutex held.
AMF_RESULT load(Runtime& r)
{
    LibraryHandle library(dlopen(AmfRuntime::kLibraryName, RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        qCDebug(lcStrevo, "AMF: cannot load %s: %s", AmfRuntime::kLibraryName, dlerror());
        return AMF_FAIL;
    }
    // AMD's runtime shares the file name and the entry points but not the binary interface:
    // calling into it would go through mismatched tables, so nothing of it is called.
    const auto* marker = static_cast<const int*>(dlsym(library.get(), kInterfaceVersionSymbol));
    if (!marker || *marker != kInterfaceVersion) {
        const QByteArray why = marker
                                   ? QByteArray("interface version ") + QByteArray::number(*marker)
                                   : QByteArray("no ") + kInterfaceVersionSymbol;
        if (!r.foreignWarned)
            qCWarning(lcStrevo,
                      "%s is not a runtime of this library's AMF interface (%s); AMF is not used",
                      AmfRuntime::kLibraryName, why.constData());
        else
            qCDebug(lcStrevo, "AMF: %s refused (%s)", AmfRuntime::kLibraryName, why.constData());
        r.foreignWarned = true;
        return AMF_FAIL;
    }
    auto init = reinterpret_cast<AMFInit_Fn>(dlsym(library.get(), "AMFInit"));
    auto queryVersion =
        reinterpret_cast<AMFQueryVersion_Fn>(dlsym(library.get(), "AMFQueryVersion"));
    if (!init || !queryVersion) {
        qCDebug(lcStrevo, "AMF: %s lacks %s", AmfRuntime::kLibraryName,
                init ? "AMFQueryVersion" : "AMFInit");
        return AMF_FAIL;
    }
    AMFFactory* factory = nullptr;
    AMF_RESULT result = init(AMF_FULL_VERSION, &factory);
    if (result != AMF_OK || !factory) {
        qCDebug(lcStrevo, "AMF: AMFInit returned %d", result);
        return result != AMF_OK ? result : AMF_FAIL;
    }
    uint64_t version = 0;
    result = queryVersion(&version);
    if (result != AMF_OK) {
        qCDebug(lcStrevo, "AMF: AMFQueryVersion returned %d", result);
        return result;
    }
    r.trace = nullptr;
    r.debug = nullptr;
    factory->GetTrace(&r.trace);
    factory->GetDebug(&r.debug);
    r.factory = factory;
    r.version = version;
    r.library = std::move(library);
    if (r.trace)
        AmfTraceAdapter::attach(r.trace);
    return AMF_OK;
}

} // namespace

AMF_RESULT AmfRuntime::init()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.library) {
        const AMF_RESULT result = load(r);
        if (result != AMF_OK)
            return result;
    }
    ++r.users;
    return AMF_OK;
}

void AmfRuntime::terminate()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.library || r.users <= 0 || --r.users > 0)
        return;
    if (r.trace)
        AmfTraceAdapter::detach(r.trace);
    r.factory = nullptr;
    r.trace = nullptr;
    r.debug = nullptr;
    r.version = 0;
    r.library.reset();
}

AMFFactory* AmfRuntime::factory()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.factory;
}

AMFTrace* AmfRuntime::trace()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.trace;
}

uint64_t AmfRuntime::version()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.version;
}

int AmfRuntime::users()
{
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.users;
}
