#include "model/MemoryBudget.h"

MemoryBudget &MemoryBudget::global()
{
    static MemoryBudget budget;
    return budget;
}

qint64 MemoryBudget::total() const
{
    qint64 sum = 0;
    for (const auto &used : m_used)
        sum += used.load(std::memory_order_relaxed);
    return sum;
}

void MemoryBudget::notePeak(Part part)
{
    const qint64 now = used(part);
    auto &peak = m_peak[size_t(part)];
    qint64 seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void MemoryBudget::resetPeaks()
{
    for (size_t i = 0; i < m_peak.size(); ++i)
        m_peak[i].store(m_used[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
}

const char *MemoryBudget::name(Part part)
{
    switch (part) {
    case Part::Receiving:
        return "receiving";
    case Part::Writing:
        return "writing";
    case Part::Building:
        return "building";
    case Part::ReadBack:
        return "read_back";
    case Part::Decoded:
        return "decoded";
    case Part::Live:
        return "live";
    case Part::Thumbnails:
        return "thumbnails";
    case Part::Count:
        break;
    }
    return "?";
}
