#pragma once

#include "platform/amf/AmfInterfaces.h"

#include <utility>

namespace amf {

// Holds one reference to an AMF object and releases it when it goes away: the only way the
// library keeps AMF objects, so no acquire or release is written by hand.
template <class T> class AmfRef
{
public:
    AmfRef() = default;
    // Takes over a reference the caller owns (one returned through an out-pointer).
    static AmfRef adopt(T* p)
    {
        AmfRef r;
        r.m_p = p;
        return r;
    }
    // Adds a reference of its own to a borrowed pointer.
    static AmfRef share(T* p)
    {
        if (p)
            p->Acquire();
        return adopt(p);
    }
    AmfRef(const AmfRef& other) : m_p(other.m_p)
    {
        if (m_p)
            m_p->Acquire();
    }
    AmfRef(AmfRef&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    AmfRef& operator=(AmfRef other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~AmfRef() { reset(); }

    void reset()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    // For an out-parameter: drops what is held and lets the callee store a new reference.
    T** receive()
    {
        reset();
        return &m_p;
    }
    // Hands the reference to the caller (for an out-parameter of one's own).
    T* detach() { return std::exchange(m_p, nullptr); }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // The same object seen as U (a new reference), or empty when it does not answer U.
    template <class U> AmfRef<U> query(AmfIid iid) const
    {
        AmfRef<U> r;
        if (m_p && m_p->QueryInterface(iid, reinterpret_cast<void**>(r.receive())) != AMF_OK)
            r.reset();
        return r;
    }

private:
    T* m_p = nullptr;
};

using AmfContextRef = AmfRef<AMFContext>;
using AmfComponentRef = AmfRef<AMFComponent>;
using AmfDataRef = AmfRef<AMFData>;
using AmfSurfaceRef = AmfRef<AMFSurface>;
using AmfBufferRef = AmfRef<AMFBuffer>;

} // namespace amf
