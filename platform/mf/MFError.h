#pragma once

#include "platform/mf/MFGuid.h"

#include <QByteArray>

// The Media Foundation result codes with their symbolic names and descriptions, for messages
// about failing calls. A fixed table; safe on any thread.
class MFError
{
public:
    struct Entry
    {
        uint32_t code;
        const char* name;
        const char* description;
    };

    // The table's row for a code, or null.
    static const Entry* find(HRESULT code);

    // "<description> (<name>)" for a code in the table, else "failed (0x...)".
    static QByteArray describe(HRESULT code);
    // Logs "<who>: <what> <describe(code)>" as a warning and returns code.
    static HRESULT report(const char* who, const char* what, HRESULT code);
};
