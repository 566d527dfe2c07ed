#pragma once

#include "platform/amf/AmfInterfaces.h"

#include <cmath>

namespace amf {

// A property value that owns what it holds: an interface value keeps one reference, released
// when the variant changes or goes away.
class AmfVariant : public AMFVariantStruct
{
public:
    AmfVariant() { type = Empty; }
    explicit AmfVariant(bool v)
    {
        type = Bool;
        boolValue = v;
    }
    explicit AmfVariant(int64_t v)
    {
        type = Int64;
        int64Value = v;
    }
    explicit AmfVariant(int v) : AmfVariant(static_cast<int64_t>(v)) {}
    explicit AmfVariant(double v)
    {
        type = Double;
        doubleValue = v;
    }
    explicit AmfVariant(AMFSize v)
    {
        type = Size;
        sizeValue = v;
    }
    explicit AmfVariant(AMFRate v)
    {
        type = Rate;
        rateValue = v;
    }
    // Adds a reference to `v`.
    explicit AmfVariant(AMFInterface* v)
    {
        type = v ? Interface : Empty;
        interfaceValue = v;
        if (v)
            v->Acquire();
    }
    AmfVariant(const AMFVariantStruct& other) : AMFVariantStruct(other)
    {
        if (type == Interface && interfaceValue)
            interfaceValue->Acquire();
    }
    AmfVariant(const AmfVariant& other) : AmfVariant(static_cast<const AMFVariantStruct&>(other)) {}
    AmfVariant& operator=(const AmfVariant& other)
    {
        if (this != &other) {
            AmfVariant copy(other);
            clear();
            static_cast<AMFVariantStruct&>(*this) = copy;
            copy.type = Empty; // the reference moved into *this
        }
        return *this;
    }
    ~AmfVariant() { clear(); }

    void clear()
    {
        if (type == Interface && interfaceValue)
            interfaceValue->Release();
        type = Empty;
    }

    // The value as an integer, converting booleans and doubles; 0 for anything else.
    int64_t toInt64() const
    {
        switch (type) {
        case Bool:
            return boolValue ? 1 : 0;
        case Int64:
            return int64Value;
        case Double:
            return static_cast<int64_t>(std::llround(doubleValue));
        default:
            return 0;
        }
    }
    // The interface held, borrowed (no reference added); null for another type.
    AMFInterface* toInterface() const { return type == Interface ? interfaceValue : nullptr; }
};

} // namespace amf
