#pragma once

#include "platform/Guid.h"

#include <QString>
#include <cstdint>

// GUIDs written as on Windows ("{4BE8D3C0-0515-4A37-AD55-E4BAE19AF471}"). guidFromString parses
// the braced or bare 8-4-4-4-12 hex form; false (and *out untouched) otherwise.
bool guidFromString(const char* text, GUID* out);
QString guidToString(const GUID& id);

// 32-bit result codes: negative is failure.
using HRESULT = int32_t;
inline bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
inline bool FAILED(HRESULT hr)
{
    return hr < 0;
}
constexpr HRESULT hresult(uint32_t code)
{
    return static_cast<HRESULT>(code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOTIMPL = hresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = hresult(0x80004002);
constexpr HRESULT E_POINTER = hresult(0x80004003);
constexpr HRESULT E_FAIL = hresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = hresult(0x8000FFFF);
constexpr HRESULT E_INVALIDARG = hresult(0x80070057);
constexpr HRESULT REGDB_E_CLASSNOTREG = hresult(0x80040154);

constexpr HRESULT MF_E_PLATFORM_NOT_INITIALIZED = hresult(0xC00D36B0);
constexpr HRESULT MF_E_BUFFERTOOSMALL = hresult(0xC00D36B1);
constexpr HRESULT MF_E_INVALIDREQUEST = hresult(0xC00D36B2);
constexpr HRESULT MF_E_INVALIDSTREAMNUMBER = hresult(0xC00D36B3);
constexpr HRESULT MF_E_INVALIDMEDIATYPE = hresult(0xC00D36B4);
constexpr HRESULT MF_E_NOTACCEPTING = hresult(0xC00D36B5);
constexpr HRESULT MF_E_NO_MORE_TYPES = hresult(0xC00D36B9);

constexpr HRESULT MF_E_ATTRIBUTENOTFOUND = hresult(0xC00D36E6);
constexpr HRESULT MF_E_INVALIDTYPE = hresult(0xC00D36BD);
constexpr HRESULT MF_E_SHUTDOWN = hresult(0xC00D3E85);
constexpr HRESULT MF_E_NO_EVENTS_AVAILABLE = hresult(0xC00D3E80);
constexpr HRESULT MF_E_TRANSFORM_TYPE_NOT_SET = hresult(0xC00D6D60);
constexpr HRESULT MF_E_TRANSFORM_STREAM_CHANGE = hresult(0xC00D6D61);
constexpr HRESULT MF_E_TRANSFORM_NEED_MORE_INPUT = hresult(0xC00D6D72);

// Attribute keys, types and class ids that the encoder path uses.
namespace MFGuids {
constexpr GUID make(uint32_t d1, uint16_t d2, uint16_t d3, uint64_t d4)
{
    GUID g{};
    g.Data1 = d1;
    g.Data2 = d2;
    g.Data3 = d3;
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(d4 >> (56 - 8 * i));
    return g;
}
// A video subtype from its four-character code, on the common media-subtype base.
constexpr GUID fourcc(const char (&code)[5])
{
    const uint32_t d1 = static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
                        static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
                        static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
    return make(d1, 0x0000, 0x0010, 0x800000AA00389B71ULL);
}

inline constexpr GUID MFMediaType_Video = make(0x73646976, 0x0000, 0x0010, 0x800000AA00389B71ULL);
inline constexpr GUID MFVideoFormat_NV12 = fourcc("NV12");
inline constexpr GUID MFVideoFormat_H264 = fourcc("H264");
inline constexpr GUID MFVideoFormat_HEVC = fourcc("HEVC");

inline constexpr GUID MF_MT_MAJOR_TYPE = make(0x48eba18e, 0xf8c9, 0x4687, 0xbf110a74c9f96a8fULL);
inline constexpr GUID MF_MT_SUBTYPE = make(0xf7e34c9a, 0x42e8, 0x4714, 0xb74bcb29d72c35e5ULL);
inline constexpr GUID MF_MT_FRAME_SIZE = make(0x1652c33d, 0xd6b2, 0x4012, 0xb83472030849a37dULL);
inline constexpr GUID MF_MT_FRAME_RATE = make(0xc459a2e8, 0x3d2c, 0x4e44, 0xb132fee5156c7bb0ULL);
inline constexpr GUID MF_MT_AVG_BITRATE = make(0x20332624, 0xfb0d, 0x4d9e, 0xbd0dcbf6786c102eULL);
inline constexpr GUID MF_MT_MAX_KEYFRAME_SPACING =
    make(0xc16eb52b, 0x73a1, 0x476f, 0x8d62839d6a020652ULL);
inline constexpr GUID MF_MT_INTERLACE_MODE =
    make(0xe2724bb8, 0xe676, 0x4806, 0xb4b2a8d6efb44ccdULL);
inline constexpr GUID MF_MT_PIXEL_ASPECT_RATIO =
    make(0xc6376a1e, 0x8d0a, 0x4027, 0xbe456d9a0ad39bb6ULL);
inline constexpr GUID MF_MT_MPEG2_LEVEL = make(0x96f66574, 0x11c5, 0x4015, 0x8666bff516436da7ULL);
inline constexpr GUID MF_MT_MPEG2_PROFILE = make(0xad76a80b, 0x2d5c, 0x4e0b, 0xb37564e520137036ULL);
inline constexpr GUID MF_MT_MPEG_SEQUENCE_HEADER =
    make(0x3c036de7, 0x3ad0, 0x4c9e, 0x9216ee6d6ac21cb3ULL);
inline constexpr GUID MF_TRANSFORM_ASYNC = make(0xf81a699a, 0x649a, 0x497d, 0x8c73298cb2c5ab1dULL);
inline constexpr GUID MF_TRANSFORM_ASYNC_UNLOCK =
    make(0xe5666d6b, 0x3422, 0x4eb6, 0xa421da7db1f8e207ULL);
inline constexpr GUID MFSampleExtension_CleanPoint =
    make(0x9cdf01d8, 0xa0f0, 0x43ba, 0xb077eaa06cbd728aULL);
inline constexpr GUID CODECAPI_AVEncVideoForceKeyFrame =
    make(0x398c1b98, 0x8353, 0x475a, 0x9ef28f265d260345ULL);

// Encoder transform classes.
inline constexpr GUID CLSID_IntelH264Encoder =
    make(0x4BE8D3C0, 0x0515, 0x4A37, 0xAD55E4BAE19AF471ULL);
inline constexpr GUID CLSID_IntelHevcEncoder =
    make(0xBC10864D, 0x2B34, 0x408F, 0x912A102B1B867B6CULL);
inline constexpr GUID CLSID_NvidiaH264Encoder =
    make(0x60F44560, 0x5A20, 0x4857, 0xBFEFD29773CB8040ULL);
inline constexpr GUID CLSID_NvidiaHevcEncoder =
    make(0x966F107C, 0x8EA2, 0x425D, 0xB822E4A71BEF01D7ULL);
inline constexpr GUID CLSID_AmdH264Encoder =
    make(0xADC9BC80, 0x0F41, 0x46C6, 0xAB75D693D793597DULL);
// This layer's own id for AMD's HEVC encoder (VA-API on an AMD GPU).
inline constexpr GUID CLSID_AmdHevcEncoder =
    make(0x5F1B7C2E, 0x3D4A, 0x4E8B, 0x9C61A2B3C4D5E6F7ULL);
inline constexpr GUID CLSID_MSH264EncoderMFT =
    make(0x6CA50344, 0x051A, 0x4DED, 0x9779A43305165E35ULL);

// The symbolic name of a key above ("MF_MT_FRAME_SIZE"), or null.
const char* name(const GUID& key);
} // namespace MFGuids
