#include "encoder/DiskSpaceWatch.h"

#include "encoder/DiskSpace.h"

namespace {

// How often the volume is asked.
constexpr std::chrono::seconds kCheckInterval{1};

} // namespace

bool DiskSpaceWatch::low(const QString& folder)
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextCheck) {
        m_nextCheck = now + kCheckInterval;
        const long long mb = DiskSpace::megabytesAvailable(folder);
        m_low = mb >= 0 && mb < DiskSpace::kMinimumMegabytes;
    }
    return m_low;
}
