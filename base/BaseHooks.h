#pragma once

// Process-wide log, crash and allocation hooks for the host. Plain C functions, usable from C.
//
// The state behind them is process-wide and unlocked: install handlers and the allocator once,
// before any other thread logs or allocates. The library's own code does not call blog(),
// bcrash() or the allocation functions; its log lines (common/StrevoLog.h) reach the handler
// set with base_set_log_handler() while the host has set no strevo::setLogHandler() handler,
// which wins over it.

#include "base/StrevoExport.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Log levels; a larger number is less severe.
enum
{
    BLOG_ERROR = 100,
    BLOG_WARNING = 200,
    BLOG_INFO = 300,
    BLOG_DEBUG = 400,
};

/// Receives every blog()/blogva() call: the level, the printf-style format with its arguments
/// and the parameter given to base_set_log_handler.
typedef void (*base_log_handler_t)(int level, const char* format, va_list args, void* param);

/// Receives bcrash(): the printf-style message and its parameter. Must not return; the
/// process is expected to end inside it (if it returns, bcrash ends the process with exit
/// code 1).
typedef void (*base_crash_handler_t)(const char* format, va_list args, void* param);

/// The allocator behind bmalloc() and companions. realloc(NULL, n) must allocate; free(NULL)
/// must be harmless.
struct base_allocator
{
    void* (*malloc)(size_t);         ///< Allocates a block of the size given.
    void* (*realloc)(void*, size_t); ///< Resizes a block (null: allocates).
    void (*free)(void*);             ///< Frees a block (null: nothing).
};

/// Stores handler and param; a null handler restores the default handler (param is still
/// stored). The default handler formats into 4096 bytes (longer texts are cut) and prints
/// levels up to BLOG_INFO: errors as "error: ..." on stderr, warnings and info as
/// "warning: ..."/"info: ..." on stdout.
///
/// A handler set here also receives the library's own log lines that pass strevo::setLogLevel()
/// (warnings and errors by default), each as format "%s: %s" with the category ("strevo",
/// "strevo.libav", ...) and the text, secrets masked: levels BLOG_ERROR, BLOG_WARNING, BLOG_INFO
/// and BLOG_DEBUG for the LogLevel of the same name. They come on the thread that logged, any
/// thread of the library, and only while no C++ handler is set with strevo::setLogHandler(). A
/// null handler sends them back to Qt's message handler, not to the default handler above.
STREVO_EXPORT void base_set_log_handler(base_log_handler_t handler, void* param);
/// Writes the current handler and parameter to whichever pointer is not null.
STREVO_EXPORT void base_get_log_handler(base_log_handler_t* handler, void** param);
/// Stores handler and param as they are. While the stored handler is null, bcrash() uses the
/// default one: print the message on stderr and exit with code 1, so that a crash never reads
/// as success.
STREVO_EXPORT void base_set_crash_handler(base_crash_handler_t handler, void* param);

STREVO_EXPORT void blog(int level, const char* format, ...);
STREVO_EXPORT void blogva(int level, const char* format, va_list args);
/// Calls the crash handler; never returns. A bcrash() from inside the crash handler prints
/// "Crashed in the crash handler" on stderr and exits with code 2.
STREVO_EXPORT void bcrash(const char* format, ...) __attribute__((noreturn));

/// Copies the three function pointers from *allocator; null restores the default allocator
/// (32-byte aligned heap blocks).
STREVO_EXPORT void base_set_allocator(const struct base_allocator* allocator);
/// Alignment in bytes of the default allocator's blocks: 32.
STREVO_EXPORT size_t base_get_alignment(void);

/// Allocate through the current allocator. A zero size yields a usable block even when the
/// allocator returns null for it; running out of memory ends in bcrash().
STREVO_EXPORT void* bmalloc(size_t size);
STREVO_EXPORT void* brealloc(void* ptr, size_t size);
/// A new block holding a copy of size bytes from ptr.
STREVO_EXPORT void* bmemdup(const void* ptr, size_t size);
STREVO_EXPORT void bfree(void* ptr);
/// Number of live allocations; not tracked, so always 0.
STREVO_EXPORT uint32_t bnum_allocs(void);

#ifdef __cplusplus
}
#endif
