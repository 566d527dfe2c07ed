#pragma once

#include "platform/mf/MFGuid.h"

#include <mutex>
#include <variant>
#include <vector>

// A key/value store of typed attributes (media types, samples, transform attributes). Items
// keep the order in which their keys were first set. Safe on any thread: every call takes
// the store's mutex.
class MFAttributes
{
public:
    // The value forms an attribute can take; a blob owns its bytes.
    using Value = std::variant<uint32_t, uint64_t, double, GUID, std::vector<uint8_t>>;

    MFAttributes() = default;
    virtual ~MFAttributes() = default;
    MFAttributes(const MFAttributes&) = delete;
    MFAttributes& operator=(const MFAttributes&) = delete;

    HRESULT SetUINT32(const GUID& key, uint32_t value) { return set(key, value); }
    HRESULT SetUINT64(const GUID& key, uint64_t value) { return set(key, value); }
    HRESULT SetGUID(const GUID& key, const GUID& value) { return set(key, value); }
    HRESULT SetBlob(const GUID& key, const uint8_t* data, uint32_t size);
    // MF_E_ATTRIBUTENOTFOUND when the key is absent, MF_E_INVALIDTYPE when it holds another form.
    HRESULT GetUINT32(const GUID& key, uint32_t* value) const { return get(key, value); }
    HRESULT GetUINT64(const GUID& key, uint64_t* value) const { return get(key, value); }
    HRESULT GetGUID(const GUID& key, GUID* value) const { return get(key, value); }
    HRESULT GetBlobSize(const GUID& key, uint32_t* size) const;
    // Copies the blob into data (capacity bytes); MF_E_BUFFERTOOSMALL when it does not fit.
    HRESULT GetBlob(const GUID& key, uint8_t* data, uint32_t capacity, uint32_t* size) const;
    HRESULT DeleteItem(const GUID& key);

    uint32_t GetCount() const;
    HRESULT GetItemByIndex(uint32_t index, GUID* key, Value* value) const;
    // Replaces dest's items with copies of these.
    HRESULT CopyAllItems(MFAttributes* dest) const;

    // Two 32-bit halves in one 64-bit attribute (frame size, frame rate, aspect ratio), high
    // word first as the platform packs them.
    HRESULT SetPair(const GUID& key, uint32_t high, uint32_t low)
    {
        return SetUINT64(key, static_cast<uint64_t>(high) << 32 | low);
    }
    HRESULT GetPair(const GUID& key, uint32_t* high, uint32_t* low) const;

private:
    template <class T> HRESULT set(const GUID& key, T value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        slot(key) = Value(std::move(value));
        return S_OK;
    }
    template <class T> HRESULT get(const GUID& key, T* value) const
    {
        if (!value)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_mutex);
        const Value* v = find(key);
        if (!v)
            return MF_E_ATTRIBUTENOTFOUND;
        const T* typed = std::get_if<T>(v);
        if (!typed)
            return MF_E_INVALIDTYPE;
        *value = *typed;
        return S_OK;
    }
    // Both expect m_mutex held.
    Value& slot(const GUID& key);
    const Value* find(const GUID& key) const;

    std::vector<std::pair<GUID, Value>> m_items; // guarded by m_mutex
    mutable std::mutex m_mutex;
};
