#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "model/CapturedPhoto.h"
#include "model/MemoryBudget.h"
#include "model/Thumbnail.h"

// The thumbnails of a whole run, within the memory budget's Thumbnails share, so that a shoot of
// ten thousand photos holds a few dozen MiB of them rather than gigabytes.
//
// Each thumbnail is kept compressed (Thumbnail::pack: 5 to 20 KB) while the compressed share has
// room, and decoded only in a small byte-bounded cache that follows what the views ask for. Both
// drop their least recently used entries first. A thumbnail that is in neither is rebuilt from the
// photo's bytes (wherever its preview finds them now: memory, the pending file or the capture
// folder) when a view asks for it. Loads run on one thread of the store's own that gives way to
// the window, newest request first; their results come back to the main thread.
// Main thread only; destroying the store drops the queued loads and waits for the running one.
class ThumbnailStore : public std::enable_shared_from_this<ThumbnailStore>
{
public:
    // Makes a thumbnail from a photo's bytes and its name as sent; null when they do not decode.
    // Runs on the loading thread.
    using Renderer = std::function<QImage(const QString &name, const QByteArray &data)>;

    // Decoded thumbnails: the tiles in view with a margin each way (a 320 × 213 thumbnail is
    // 270 KB; a strip across a 4K screen shows 25 tiles).
    static constexpr qint64 kDecodedShare = qint64(16) << 20;
    // The rest of the share holds compressed ones: two to six thousand photos.
    static constexpr qint64 kPackedShare = MemoryBudget::kThumbnails - kDecodedShare;
    // A load asked for before this many later ones is passed over when its turn comes: the view
    // has scrolled on (no strip shows that many tiles). A tile still shown asks again.
    static constexpr quint64 kWantedLoads = 256;
    // Loads give way to the window and, like the record builders, to the store's writes.
    static constexpr int kNiceness = 10;

    [[nodiscard]] static std::shared_ptr<ThumbnailStore> create(Renderer render, qint64 packedShare = kPackedShare,
        qint64 decodedShare = kDecodedShare, MemoryBudget &budget = MemoryBudget::global());
    ~ThumbnailStore();
    ThumbnailStore(const ThumbnailStore &) = delete;
    ThumbnailStore &operator=(const ThumbnailStore &) = delete;

    // Takes in a photo's thumbnail: `packed` is its compressed form (made here when empty); it is
    // also kept decoded, as the newest photo is usually in view. `origin` and `name` rebuild it
    // once it has been dropped. A null image gives a null thumbnail.
    [[nodiscard]] Thumbnail add(const QImage &image, QByteArray packed, std::shared_ptr<PreviewSource> origin,
                                const QString &name);

    [[nodiscard]] qint64 packedBytes() const { return m_packed.totalCost(); }
    [[nodiscard]] qint64 decodedBytes() const { return m_decoded.totalCost(); }
    [[nodiscard]] int packedCount() const { return int(m_packed.count()); }
    // Loads queued or running.
    [[nodiscard]] int loadsPending() const { return int(m_loads.size()); }

private:
    friend class Thumbnail;
    enum class Outcome { Loaded, PassedOver, Failed };
    struct LoadResult {
        Outcome outcome = Outcome::Failed;
        QImage image;
        QByteArray packed; // when rebuilt
    };
    struct Entry {
        std::shared_ptr<PreviewSource> origin;
        QString name;
    };
    struct Packed {
        QByteArray bytes;
        MemoryBudget::Charge charge;
    };
    struct Decoded {
        QImage image;
        MemoryBudget::Charge charge;
    };
    struct Load {
        std::shared_ptr<std::atomic<quint64>> asked; // the sequence number of its newest request
        std::vector<std::pair<QPointer<QObject>, std::function<void(bool)>>> waiting;
    };

    ThumbnailStore(Renderer render, qint64 packedShare, qint64 decodedShare, MemoryBudget &budget);
    [[nodiscard]] QImage cached(quint64 key) const;
    [[nodiscard]] QImage image(quint64 key);
    bool request(quint64 key, QObject *context, std::function<void(bool)> done);
    void forget(quint64 key);
    void keepDecoded(quint64 key, const QImage &image);
    void keepPacked(quint64 key, QByteArray packed);
    void loaded(quint64 key, const LoadResult &result);

    Renderer m_render;
    MemoryBudget &m_budget;
    QHash<quint64, Entry> m_entries; // every live thumbnail of the store
    QCache<quint64, Packed> m_packed;
    mutable QCache<quint64, Decoded> m_decoded; // looking one up makes it the most recently used
    QHash<quint64, Load> m_loads;
    std::shared_ptr<std::atomic<quint64>> m_asked = std::make_shared<std::atomic<quint64>>(0);
    // Results are posted to it: once it is gone (with the store) none is delivered.
    QObject m_relay;
    // Declared last: stopped first.
    QThreadPool m_pool;
};

struct Thumbnail::Slot {
    quint64 key = 0;
    QSize size;
    QImage held; // a thumbnail kept outside any store
    MemoryBudget::Charge charge; // of `held`
    std::weak_ptr<ThumbnailStore> store;

    Slot() = default;
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    ~Slot();
};
