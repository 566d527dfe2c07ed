#pragma once

// base/: the export macro, log routing and hooks, which every library layer uses. May include
// common/ only.

/// @file
/// The export macro of libstrevo.so.

/// Marks what a host may use from libstrevo.so. The library is built with hidden visibility, so
/// everything without this mark stays internal.
#define STREVO_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
/// `extern "C"` in C++ and nothing in C: C linkage for the library's C functions.
#define STREVO_EXTERN_C extern "C"
#else
#define STREVO_EXTERN_C
#endif
