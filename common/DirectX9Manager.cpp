#include "common/DirectX9Manager.h"

template <> DirectX9Manager* Singleton<DirectX9Manager>::getInstancePtr()
{
    static DirectX9Manager instance;
    return &instance;
}
