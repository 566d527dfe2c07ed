#include "api/InputRefusals.h"

namespace {

// Different reasons of the typed input kept before the record starts afresh.
constexpr int kSaidKept = 64;

} // namespace

bool InputRefusals::refuse(int source, QSize size, int format)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Shape& last = m_shapes[source];
    const bool changed = !last.refused || last.size != size || last.format != format;
    last = {size, format, true};
    m_anyRefused.fetch_or(1 << source, std::memory_order_relaxed);
    return changed;
}

void InputRefusals::accept(int source)
{
    // The common case, no refusal outstanding, takes no lock. Calls from two host threads at
    // once have no order between them, so a refusal that races with an accepted frame may stay
    // recorded: at worst one warning fewer.
    if (!(m_anyRefused.load(std::memory_order_relaxed) & (1 << source)))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shapes[source].refused = false;
    m_anyRefused.fetch_and(~(1 << source), std::memory_order_relaxed);
}

void InputRefusals::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Shape& shape : m_shapes)
        shape = {};
    m_said.clear();
    m_anyRefused.store(0, std::memory_order_relaxed);
}

bool InputRefusals::firstTime(const QString& why)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_said.size() > kSaidKept)
        m_said.clear();
    if (m_said.contains(why))
        return false;
    m_said.insert(why);
    return true;
}
