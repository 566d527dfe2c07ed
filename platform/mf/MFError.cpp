#include "platform/mf/MFError.h"
#include "common/StrevoLog.h"

#include <QDebug>

namespace {

// clang-format off
const MFError::Entry kTable[] = {
    {0xC00D36B0, "MF_E_PLATFORM_NOT_INITIALIZED", "Platform not initialized. Please call MFStartup()."},
    {0xC00D36B1, "MF_E_BUFFERTOOSMALL", "The buffer was too small to carry out the requested action."},
    {0xC00D36B2, "MF_E_INVALIDREQUEST", "The request is invalid in the current state."},
    {0xC00D36B3, "MF_E_INVALIDSTREAMNUMBER", "The stream number provided was invalid."},
    {0xC00D36B4, "MF_E_INVALIDMEDIATYPE", "The data specified for the media type is invalid, inconsistent, or not supported by this object."},
    {0xC00D36B5, "MF_E_NOTACCEPTING", "The callee is currently not accepting further input."},
    {0xC00D36B6, "MF_E_NOT_INITIALIZED", "This object needs to be initialized before the requested operation can be carried out."},
    {0xC00D36B7, "MF_E_UNSUPPORTED_REPRESENTATION", "The requested representation is not supported by this object."},
    {0xC00D36B9, "MF_E_NO_MORE_TYPES", "An object ran out of media types to suggest therefore the requested chain of streaming objects cannot be completed."},
    {0xC00D36BA, "MF_E_UNSUPPORTED_SERVICE", "The object does not support the specified service."},
    {0xC00D36BB, "MF_E_UNEXPECTED", "An unexpected error has occurred in the operation requested."},
    {0xC00D36BC, "MF_E_INVALIDNAME", "Invalid name."},
    {0xC00D36BD, "MF_E_INVALIDTYPE", "Invalid type."},
    {0xC00D36E6, "MF_E_ATTRIBUTENOTFOUND", "The requested attribute was not found."},
    {0xC00D3E80, "MF_E_NO_EVENTS_AVAILABLE", "There are no events available in the queue."},
    {0xC00D3E85, "MF_E_SHUTDOWN", "The object was shut down."},
    {0xC00D6D60, "MF_E_TRANSFORM_TYPE_NOT_SET", "A valid type has not been set for this stream or a stream that it depends on."},
    {0xC00D6D61, "MF_E_TRANSFORM_STREAM_CHANGE", "A stream change has occurred. Output cannot be produced until the streams have been renegotiated."},
    {0xC00D6D62, "MF_E_TRANSFORM_INPUT_REMAINING", "The transform cannot take the requested action until all of the input data it currently holds is processed or flushed."},
    {0xC00D6D72, "MF_E_TRANSFORM_NEED_MORE_INPUT", "The transform cannot produce output until it gets more input samples."},
};
// clang-format on

} // namespace

const MFError::Entry* MFError::find(HRESULT code)
{
    for (const Entry& e : kTable)
        if (static_cast<HRESULT>(e.code) == code)
            return &e;
    return nullptr;
}

QByteArray MFError::describe(HRESULT code)
{
    if (const Entry* e = find(code))
        return QByteArray(e->description) + " (" + e->name + ")";
    return "failed (0x" + QByteArray::number(static_cast<uint32_t>(code), 16).toUpper() + ")";
}

HRESULT MFError::report(const char* who, const char* what, HRESULT code)
{
    qCWarning(lcStrevo, "%s: %s %s", who, what, describe(code).constData());
    return code;
}
