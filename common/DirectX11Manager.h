#pragma once

#include "common/Singleton.h"

#include <atomic>

// Opaque device handles of the platform's GPU layer.
struct D3D11Device;
struct D3D11DeviceContext;

/// The Direct3D 11 device and immediate context that the host shares with the library
/// (Singleton<DirectX11Manager>::getInstancePtr()). Both answer null until the host sets them.
class DirectX11Manager
{
public:
    /// The shared device; null until the host sets it. Any thread.
    D3D11Device* d3ddev() const { return m_device.load(); }
    /// The shared device's immediate context; null until the host sets it. Any thread.
    D3D11DeviceContext* d3dctx() const { return m_context.load(); }
    /// Host side: set (or clear with nulls) the shared device, before pipelines use it.
    void setDevice(D3D11Device* device, D3D11DeviceContext* context)
    {
        m_device.store(device);
        m_context.store(context);
    }

private:
    std::atomic<D3D11Device*> m_device{nullptr}; // written by the host, read by encoders
    std::atomic<D3D11DeviceContext*> m_context{nullptr};
};

/// The process's one DirectX11Manager, shared by the host and the library.
template <> DirectX11Manager* Singleton<DirectX11Manager>::getInstancePtr();
