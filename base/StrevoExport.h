#pragma once

// base/: the export macro, log routing and hooks, which every library layer uses. May include
// common/ only.

// Marks what a host may use from libstrevo.so. The library is built with hidden visibility, so
// everything without this mark stays internal.
#define STREVO_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define STREVO_EXTERN_C extern "C"
#else
#define STREVO_EXTERN_C
#endif
