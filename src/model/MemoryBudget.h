#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>
#include <utility>

// One budget for every byte that received photos make Halvane hold, so that resident memory
// stays bounded whatever the cameras send and however long the shoot.
//
// Each part has a share. The parts that can shed (caches of what can be rebuilt from a file on
// disk: bytes read back, decoded images, thumbnails, queued record builds whose photo is on
// disk) drop their oldest entries to stay within it. The parts that cannot (photo content
// being received, bytes whose only copy is in memory) hold the cameras back through the link
// instead, so TCP waits for room. The shares add up to 608 MiB, counting the receiving hard
// cap, on top of the process's own base (Qt, the views, the libraries: about 130 MiB); the
// parts are seldom full at once, and a burst at full link speed peaks under 300 MiB resident.
//
// Counts are atomic: the builders and the decoding threads charge from their own threads.
class MemoryBudget
{
public:
    enum class Part {
        Receiving, // file content received and not yet complete, over every connection
        Writing, // photos whose only copy is in memory: waiting for or being written
        Building, // photo bytes held by queued and running record builds
        ReadBack, // bytes of stored photos kept (or read back from disk) for the viewer
        Decoded, // decoded previews
        Live, // decoded live-view frames
        Thumbnails, // thumbnails, compressed and decoded
        Count
    };
    static constexpr int kParts = int(Part::Count);

    // Shares, in bytes. Receiving: a few photos in flight at once; past it, the link lets a
    // connection finish a file only when its declared rest fits under kReceivingHardCap (an
    // ordinary photo from another camera still comes in while peers hold the share).
    static constexpr qint64 kReceiving = qint64(96) << 20;
    static constexpr qint64 kReceivingHardCap = qint64(160) << 20;
    // Writing: a few seconds of a burst at disk speed (the pending folder keeps the rest on disk).
    static constexpr qint64 kWriting = qint64(128) << 20;
    // Building: bytes of photos waiting for their texts and thumbnail; beyond it, those already
    // on disk drop their bytes and are read back when their build runs.
    static constexpr qint64 kBuilding = qint64(32) << 20;
    // ReadBack: recent photos' bytes, so paging back rarely reads a file.
    static constexpr qint64 kReadBack = qint64(48) << 20;
    // Decoded: one 24 MP photo at full size (96 MB at 4 bytes a pixel) and a reduced one.
    static constexpr qint64 kDecoded = qint64(128) << 20;
    // Live: the frame shown and the one being decoded, per camera; frames of cameras not shown
    // are let go first.
    static constexpr qint64 kLive = qint64(64) << 20;
    // Thumbnails: compressed ones of a long shoot plus the decoded tiles in view.
    static constexpr qint64 kThumbnails = qint64(48) << 20;
    // Every photo also costs its record, its entries and their strings, whatever its size.
    static constexpr qint64 kPerPhotoOverhead = 2048;


    [[nodiscard]] qint64 share(Part part) const { return m_shares[size_t(part)]; }
    [[nodiscard]] qint64 receivingHardCap() const { return m_receivingHardCap; }
    // Test seams: other shares, so that a test reaches them with little data.
    void setShare(Part part, qint64 bytes) { m_shares[size_t(part)] = bytes; }
    void setReceivingHardCap(qint64 bytes) { m_receivingHardCap = bytes; }
    // Back to the shares above.
    void resetShares();

    // The process's budget.
    static MemoryBudget &global();

    // Sets the allocator up for photo-sized buffers that come and go; call once at start.
    static void tuneAllocator();

    void charge(Part part, qint64 bytes) { m_used[size_t(part)].fetch_add(bytes, std::memory_order_relaxed); }
    void release(Part part, qint64 bytes) { charge(part, -bytes); }
    [[nodiscard]] qint64 used(Part part) const { return m_used[size_t(part)].load(std::memory_order_relaxed); }
    // The most each part has held at once since the last reset (for the benchmarks' figures).
    [[nodiscard]] qint64 peak(Part part) const { return m_peak[size_t(part)].load(std::memory_order_relaxed); }
    void notePeak(Part part);
    void resetPeaks();
    [[nodiscard]] static const char *name(Part part);

    // A charge that is released when it goes away (or is moved from).
    class Charge
    {
    public:
        Charge() = default;
        explicit Charge(Part part, qint64 bytes = 0, MemoryBudget &budget = global())
            : m_budget(&budget)
            , m_part(part)
            , m_bytes(bytes)
        {
            m_budget->charge(part, bytes);
            m_budget->notePeak(part);
        }
        Charge(Charge &&other) noexcept
            : m_budget(std::exchange(other.m_budget, nullptr))
            , m_part(other.m_part)
            , m_bytes(std::exchange(other.m_bytes, 0))
        {
        }
        Charge &operator=(Charge &&other) noexcept
        {
            if (this != &other) {
                reset();
                m_budget = std::exchange(other.m_budget, nullptr);
                m_part = other.m_part;
                m_bytes = std::exchange(other.m_bytes, 0);
            }
            return *this;
        }
        Charge(const Charge &) = delete;
        Charge &operator=(const Charge &) = delete;
        ~Charge() { reset(); }

        void reset()
        {
            if (m_budget)
                m_budget->release(m_part, m_bytes);
            m_budget = nullptr;
            m_bytes = 0;
        }
        // Changes what it holds, by the difference: the part never counts both at once.
        void set(qint64 bytes)
        {
            if (!m_budget || bytes == m_bytes)
                return;
            m_budget->charge(m_part, bytes - m_bytes);
            m_bytes = bytes;
            m_budget->notePeak(m_part);
        }
        [[nodiscard]] qint64 bytes() const { return m_bytes; }

    private:
        MemoryBudget *m_budget = nullptr;
        Part m_part = Part::Receiving;
        qint64 m_bytes = 0;
    };

private:
    static constexpr std::array<qint64, kParts> kDefaultShares{
        kReceiving, kWriting, kBuilding, kReadBack, kDecoded, kLive, kThumbnails};
    std::array<qint64, kParts> m_shares = kDefaultShares;
    qint64 m_receivingHardCap = kReceivingHardCap;
    std::array<std::atomic<qint64>, kParts> m_used{};
    std::array<std::atomic<qint64>, kParts> m_peak{};
};
