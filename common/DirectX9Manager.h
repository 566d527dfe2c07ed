#pragma once

#include "common/Singleton.h"

// Opaque handles of the platform's GPU layer.
struct D3D9Device;
struct DXVA2VideoProcessorService;

/// The Direct3D 9 device and DXVA2 video-processor service that the host shares with the
/// library (Singleton<DirectX9Manager>::getInstancePtr()). Both are null until the host sets
/// them, which it does before creating any pipeline.
class DirectX9Manager
{
public:
    D3D9Device* m_pD3D9Device = nullptr; ///< The host's device (not owned).
    /// The host's DXVA2 video-processor service (not owned).
    DXVA2VideoProcessorService* m_pDXVA2VideoProcessService = nullptr;
};

/// The process's one DirectX9Manager, shared by the host and the library.
template <> DirectX9Manager* Singleton<DirectX9Manager>::getInstancePtr();
