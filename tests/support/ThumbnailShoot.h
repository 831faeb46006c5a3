#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <vector>

#include "SampleFiles.h"
#include "ingest/PhotoBuilder.h"
#include "ingest/PreviewCache.h"
#include "model/ThumbnailStore.h"

// Photos stored as files, each a 64 × 48 PNG of its own colour, whose thumbnails a store of the
// given shares keeps (rebuilding them with `render`). Their bytes are dropped from memory, so a
// thumbnail rebuilt comes from its file.
struct ThumbnailShoot {
    static constexpr QSize kSize{64, 48};
    QTemporaryDir dir;
    MemoryBudget budget;
    std::shared_ptr<PreviewCache> previews = std::make_shared<PreviewCache>(0);
    std::shared_ptr<ThumbnailStore> store;
    std::vector<Thumbnail> thumbs;

    ThumbnailShoot(int photos, qint64 packedShare, qint64 decodedShare, ThumbnailStore::Renderer render = buildThumbnail)
        : store(ThumbnailStore::create(std::move(render), packedShare, decodedShare, budget))
    {
        for (int i = 0; i < photos; ++i) {
            QFile file(path(i));
            EXPECT_TRUE(picture(i).save(path(i)) && file.open(QIODevice::ReadOnly));
            const PreviewCache::Key key = previews->add(file.readAll(), name(i));
            previews->markStored(key, path(i), 0, false);
            thumbs.push_back(store->add(picture(i), {}, makePreviewSource(previews, key), name(i)));
        }
    }
    [[nodiscard]] QString path(int i) const { return dir.filePath(name(i)); }
    [[nodiscard]] static QString name(int i) { return QString::number(i) + ".png"; }
    [[nodiscard]] static QRgb colour(int i) { return qRgb(i * 50 % 256, 200, 255 - i * 50 % 256); }
    [[nodiscard]] static QImage picture(int i) { return SampleFiles::solid(kSize, colour(i)); }
    // Whether `image` is thumbnail `i` (after a round trip through JPEG).
    [[nodiscard]] static bool shows(int i, const QImage &image)
    {
        const auto off = [&](int (*channel)(QRgb)) { return std::abs(channel(image.pixel(32, 24)) - channel(colour(i))); };
        return image.size() == kSize && off(qRed) + off(qBlue) < 12;
    }
    // Asks for thumbnail `i` and waits: nullopt when there was nothing to load, else whether it came.
    std::optional<bool> load(int i)
    {
        std::optional<bool> arrived;
        QObject context;
        if (thumbs[size_t(i)].request(&context, [&](bool came) { arrived = came; })) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return arrived.has_value(); }));
        }
        return arrived;
    }
};
