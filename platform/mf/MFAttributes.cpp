#include "platform/mf/MFAttributes.h"

#include <algorithm>
#include <cstring>

MFAttributes::Value& MFAttributes::slot(const GUID& key)
{
    for (auto& item : m_items)
        if (item.first == key)
            return item.second;
    m_items.emplace_back(key, Value());
    return m_items.back().second;
}

const MFAttributes::Value* MFAttributes::find(const GUID& key) const
{
    for (const auto& item : m_items)
        if (item.first == key)
            return &item.second;
    return nullptr;
}

HRESULT MFAttributes::SetBlob(const GUID& key, const uint8_t* data, uint32_t size)
{
    if (!data && size)
        return E_POINTER;
    return set(key, std::vector<uint8_t>(data, data + size));
}

HRESULT MFAttributes::GetBlobSize(const GUID& key, uint32_t* size) const
{
    return GetBlob(key, nullptr, 0, size);
}

HRESULT MFAttributes::GetBlob(const GUID& key, uint8_t* data, uint32_t capacity,
                              uint32_t* size) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const Value* v = find(key);
    if (!v)
        return MF_E_ATTRIBUTENOTFOUND;
    const auto* blob = std::get_if<std::vector<uint8_t>>(v);
    if (!blob)
        return MF_E_INVALIDTYPE;
    if (size)
        *size = static_cast<uint32_t>(blob->size());
    if (!data)
        return S_OK;
    if (blob->size() > capacity)
        return MF_E_BUFFERTOOSMALL;
    if (!blob->empty())
        std::memcpy(data, blob->data(), blob->size());
    return S_OK;
}

HRESULT MFAttributes::DeleteItem(const GUID& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.erase(std::remove_if(m_items.begin(), m_items.end(),
                                 [&](const auto& item) { return item.first == key; }),
                  m_items.end());
    return S_OK;
}

uint32_t MFAttributes::GetCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<uint32_t>(m_items.size());
}

HRESULT MFAttributes::GetItemByIndex(uint32_t index, GUID* key, Value* value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_items.size())
        return E_INVALIDARG;
    if (key)
        *key = m_items[index].first;
    if (value)
        *value = m_items[index].second;
    return S_OK;
}

HRESULT MFAttributes::CopyAllItems(MFAttributes* dest) const
{
    if (!dest)
        return E_POINTER;
    if (dest == this)
        return S_OK;
    std::vector<std::pair<GUID, Value>> items;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        items = m_items;
    }
    std::lock_guard<std::mutex> lock(dest->m_mutex);
    dest->m_items = std::move(items);
    return S_OK;
}

HRESULT MFAttributes::GetPair(const GUID& key, uint32_t* high, uint32_t* low) const
{
    uint64_t packed = 0;
    const HRESULT hr = GetUINT64(key, &packed);
    if (FAILED(hr))
        return hr;
    *high = static_cast<uint32_t>(packed >> 32);
    *low = static_cast<uint32_t>(packed);
    return S_OK;
}
