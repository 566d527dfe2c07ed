#include "base/BaseHooks.h"

#include "common/LogRouter.h"

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kAlignment = 32;
constexpr int kLogThreshold = BLOG_INFO;
constexpr size_t kLogBufferSize = 4096;
// Exit status of the default crash handler: a crash must never read as success to a script.
constexpr int kCrashExitCode = 1;
constexpr int kCrashInCrashExitCode = 2;

void* alignedMalloc(size_t size)
{
    void* block = nullptr;
    return posix_memalign(&block, kAlignment, size) == 0 ? block : nullptr;
}

// realloc() keeps only malloc's own 16-byte alignment, so a block that grows moves into a new
// aligned block. A failed move leaves the old block untouched, as realloc() does.
void* alignedRealloc(void* ptr, size_t size)
{
    if (!ptr)
        return alignedMalloc(size);
    if (size == 0) {
        std::free(ptr);
        return nullptr;
    }
    const size_t usable = malloc_usable_size(ptr);
    if (size <= usable)
        return ptr;
    void* moved = alignedMalloc(size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, ptr, usable);
    std::free(ptr);
    return moved;
}

void alignedFree(void* ptr)
{
    std::free(ptr);
}

void defaultLogHandler(int level, const char* format, va_list args, void*)
{
    if (!format)
        return;
    char text[kLogBufferSize];
    std::vsnprintf(text, sizeof(text), format, args);
    if (level > kLogThreshold)
        return;

    switch (level) {
    case BLOG_ERROR:
        std::fprintf(stderr, "error: %s\n", text);
        std::fflush(stderr);
        break;
    case BLOG_WARNING:
        std::fprintf(stdout, "warning: %s\n", text);
        std::fflush(stdout);
        break;
    case BLOG_INFO:
        std::fprintf(stdout, "info: %s\n", text);
        std::fflush(stdout);
        break;
    case BLOG_DEBUG:
        std::fprintf(stdout, "debug: %s\n", text);
        std::fflush(stdout);
        break;
    default:
        break;
    }
}

int hookLevel(strevo::LogLevel level)
{
    switch (level) {
    case strevo::LogLevel::Error:
        return BLOG_ERROR;
    case strevo::LogLevel::Warning:
        return BLOG_WARNING;
    case strevo::LogLevel::Info:
        return BLOG_INFO;
    case strevo::LogLevel::Debug:
        break;
    }
    return BLOG_DEBUG;
}

void callHook(base_log_handler_t handler, void* param, int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    handler(level, format, args, param);
    va_end(args);
}

// Ends at once with std::_Exit: static destructors and atexit handlers of a process that ran
// out of memory or lost its state could crash or block again.
[[noreturn]] void defaultCrashHandler(const char* format, va_list args, void*)
{
    if (format)
        std::vfprintf(stderr, format, args);
    std::fflush(stderr);
    std::_Exit(kCrashExitCode);
}

constexpr base_allocator kDefaultAllocator = {alignedMalloc, alignedRealloc, alignedFree};

// Process-wide and unlocked: the setters are meant to run once, before other threads use the
// hooks.
base_log_handler_t g_logHandler = defaultLogHandler;
void* g_logParam = nullptr;
base_crash_handler_t g_crashHandler = defaultCrashHandler;
void* g_crashParam = nullptr;
int g_crashing = 0;
base_allocator g_allocator = kDefaultAllocator;
const uint32_t g_allocationCount = 0; // allocations are not counted

} // namespace

extern "C" {

void base_set_log_handler(base_log_handler_t handler, void* param)
{
    g_logParam = param;
    g_logHandler = handler ? handler : defaultLogHandler;
    // The library's own lines reach the host's hook too, as "category: text", while no
    // strevo::setLogHandler() handler takes them. The lambda keeps its own copy of the hook, so
    // the lines of other threads never read the unlocked globals above.
    if (!handler || handler == defaultLogHandler) { // the default one got back from the getter
        strevo::logrouter::setFallbackHandler({});
        return;
    }
    strevo::logrouter::setFallbackHandler(
        [handler, param](strevo::LogLevel level, const QString& category, const QString& text) {
            callHook(handler, param, hookLevel(level), "%s: %s", category.toUtf8().constData(),
                     text.toUtf8().constData());
        });
}

void base_get_log_handler(base_log_handler_t* handler, void** param)
{
    if (handler)
        *handler = g_logHandler;
    if (param)
        *param = g_logParam;
}

void base_set_crash_handler(base_crash_handler_t handler, void* param)
{
    g_crashParam = param;
    g_crashHandler = handler;
}

void blogva(int level, const char* format, va_list args)
{
    g_logHandler(level, format, args, g_logParam);
}

void blog(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    blogva(level, format, args);
    va_end(args);
}

void bcrash(const char* format, ...)
{
    if (g_crashing) {
        std::fputs("Crashed in the crash handler", stderr);
        std::fflush(stderr);
        std::_Exit(kCrashInCrashExitCode);
    }
    g_crashing = 1;

    const base_crash_handler_t handler = g_crashHandler ? g_crashHandler : defaultCrashHandler;
    va_list args;
    va_start(args, format);
    handler(format, args, g_crashParam);
    va_end(args);
    // A host handler that returns (against the contract) must not let the caller carry on
    // with the allocation it could not get.
    std::fflush(stderr);
    std::_Exit(kCrashExitCode);
}

void base_set_allocator(const base_allocator* allocator)
{
    g_allocator = allocator ? *allocator : kDefaultAllocator;
}

size_t base_get_alignment(void)
{
    return kAlignment;
}

void* bmalloc(size_t size)
{
    void* block = g_allocator.malloc(size);
    if (!block && size == 0)
        block = g_allocator.malloc(1);
    if (!block)
        bcrash("Out of memory while trying to allocate %lu bytes",
               static_cast<unsigned long>(size));
    return block;
}

void* brealloc(void* ptr, size_t size)
{
    void* block = g_allocator.realloc(ptr, size);
    if (!block && size == 0)
        block = g_allocator.realloc(nullptr, 1);
    if (!block)
        bcrash("Out of memory while trying to allocate %lu bytes",
               static_cast<unsigned long>(size));
    return block;
}

void* bmemdup(const void* ptr, size_t size)
{
    void* block = bmalloc(size);
    if (block && size)
        std::memcpy(block, ptr, size);
    return block;
}

void bfree(void* ptr)
{
    g_allocator.free(ptr);
}

uint32_t bnum_allocs(void)
{
    return g_allocationCount;
}

} // extern "C"
