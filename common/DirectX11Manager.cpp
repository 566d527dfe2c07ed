#include "common/DirectX11Manager.h"

template <> DirectX11Manager* Singleton<DirectX11Manager>::getInstancePtr()
{
    static DirectX11Manager instance;
    return &instance;
}
