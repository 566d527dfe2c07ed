#pragma once

#include <cstdint>
#include <cstring>
#include <tuple>

// A 128-bit class, interface or attribute identifier in the Windows layout. One type for the
// whole library: the Media Foundation layer uses it, and the NVENC API headers skip their own
// definition when GUID_DEFINED is set, so include this header before <ffnvcodec/nvEncodeAPI.h>.
#ifndef GUID_DEFINED
#define GUID_DEFINED
struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif

inline bool operator==(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, 8) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b)
{
    return !(a == b);
}
inline bool operator<(const GUID& a, const GUID& b)
{
    return std::tie(a.Data1, a.Data2, a.Data3) < std::tie(b.Data1, b.Data2, b.Data3) ||
           (std::tie(a.Data1, a.Data2, a.Data3) == std::tie(b.Data1, b.Data2, b.Data3) &&
            std::memcmp(a.Data4, b.Data4, 8) < 0);
}
