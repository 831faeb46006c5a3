#include "model/MemoryBudget.h"

#include <malloc.h>

MemoryBudget &MemoryBudget::global()
{
    static MemoryBudget budget;
    return budget;
}

void MemoryBudget::tuneAllocator()
{
    // By default the allocator raises its mapping threshold to the largest block freed (up to
    // 32 MiB), after which photo buffers come from the heap, whose freed pages stay resident
    // long after the burst: 3.9 GiB measured ten seconds after the last photo of a burst. A
    // fixed threshold keeps every buffer over 1 MiB in a mapping of its own, given back to the
    // system when freed, and a fixed trim threshold returns the heap's free top.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
    // Each thread that allocates may get an arena that keeps its freed memory for itself; the
    // background threads are few and rarely allocate at the same moment.
    mallopt(M_ARENA_MAX, 4);
}

void MemoryBudget::notePeak(Part part)
{
    const qint64 now = used(part);
    auto &peak = m_peak[size_t(part)];
    qint64 seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void MemoryBudget::resetShares()
{
    m_shares = kDefaultShares;
    m_receivingHardCap = kReceivingHardCap;
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
