#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSemaphore>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>

#include "QtPrinters.h"

#include "ingest/ImageDecode.h"
#include "ingest/PreviewCache.h"

namespace {

QByteArray pngBytes(int w, int h, QColor colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

class PreviewMemory : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    // Writes `data` as a file of the folder, as storing would, and returns its path.
    QString storeCopy(const QString &name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        EXPECT_EQ(f.write(data), data.size());
        return path;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(PreviewMemory, StoredBytesStayWithinTheBudgetAndOlderOnesAreReadBack)
{
    constexpr qint64 kBudget = 10 * 1024;
    PreviewCache cache(kBudget);
    QList<PreviewCache::Key> keys;
    QList<QByteArray> contents;
    for (int i = 0; i < 60; ++i) {
        QByteArray data(1000 + i, char('a' + i % 26));
        const PreviewCache::Key key = cache.add(data, QStringLiteral("p%1.raw").arg(i));
        cache.markStored(key, storeCopy(QStringLiteral("p%1.raw").arg(i), data));
        keys << key;
        contents << data;
        EXPECT_LE(cache.storedBytesInMemory(), kBudget);
    }
    EXPECT_GT(cache.storedBytesInMemory(), kBudget / 2) << "the budget should be used, not emptied";
    // The newest photos are the ones held; the oldest were dropped.
    EXPECT_TRUE(cache.holdsBytes(keys.last()));
    EXPECT_FALSE(cache.holdsBytes(keys.first()));
    for (int i = 0; i < keys.size(); ++i)
        EXPECT_EQ(cache.bytes(keys.at(i)), contents.at(i)) << "photo " << i;
}

TEST_F(PreviewMemory, BytesOfUnstoredPhotosAreNeverDropped)
{
    constexpr qint64 kBudget = 4 * 1024;
    PreviewCache cache(kBudget);
    QList<PreviewCache::Key> unsaved;
    for (int i = 0; i < 20; ++i) {
        unsaved << cache.add(QByteArray(1024, char(i)), QStringLiteral("u%1").arg(i));
        // Stored photos arriving in between push the budget hard.
        const QByteArray stored(2048, 'S');
        cache.markStored(cache.add(stored, "s"), storeCopy(QStringLiteral("s%1").arg(i), stored));
    }
    EXPECT_LE(cache.storedBytesInMemory(), kBudget);
    EXPECT_EQ(cache.bytesInMemory() - cache.storedBytesInMemory(), 20 * 1024);
    for (int i = 0; i < unsaved.size(); ++i) {
        EXPECT_TRUE(cache.holdsBytes(unsaved.at(i)));
        EXPECT_EQ(cache.bytes(unsaved.at(i)), QByteArray(1024, char(i)));
    }
    // Once stored late, they join the budget like any other.
    for (int i = 0; i < unsaved.size(); ++i)
        cache.markStored(unsaved.at(i), storeCopy(QStringLiteral("late%1").arg(i), QByteArray(1024, char(i))));
    EXPECT_LE(cache.bytesInMemory(), kBudget);
    EXPECT_EQ(cache.bytes(unsaved.first()), QByteArray(1024, char(0)));
}

TEST_F(PreviewMemory, PhotoWhoseFileWentAwayGivesANullImage)
{
    PreviewCache cache(0, 0); // nothing kept in memory: every read goes to the file
    const QByteArray png = pngBytes(30, 20, Qt::red);
    const PreviewCache::Key moved = cache.add(png, "moved.png");
    const QString movedPath = storeCopy("moved.png", png);
    cache.markStored(moved, movedPath);
    const PreviewCache::Key replaced = cache.add(png, "replaced.png");
    const QString replacedPath = storeCopy("replaced.png", png);
    cache.markStored(replaced, replacedPath);

    EXPECT_EQ(cache.image(moved).size(), QSize(30, 20));
    ASSERT_TRUE(QFile::rename(movedPath, m_dir.filePath("elsewhere.png")));
    EXPECT_TRUE(cache.bytes(moved).isEmpty());
    EXPECT_TRUE(cache.image(moved).isNull());

    // Another program put a different file under the same name.
    ASSERT_TRUE(QFile::remove(replacedPath));
    storeCopy("replaced.png", pngBytes(300, 200, Qt::blue));
    EXPECT_TRUE(cache.image(replaced).isNull());

    EXPECT_TRUE(cache.image(12345).isNull()) << "unknown key";
}

TEST_F(PreviewMemory, DecodedImagesAreCachedWithinTheirByteBudget)
{
    const QByteArray png = pngBytes(100, 100, Qt::green); // 40,000 bytes decoded
    const auto decodedOnce = [&](qint64 decodedBudget) {
        PreviewCache cache(0, decodedBudget);
        const PreviewCache::Key key = cache.add(png, "g.png");
        const QString path = storeCopy(QStringLiteral("g%1.png").arg(decodedBudget), png);
        cache.markStored(key, path);
        const QImage first = cache.image(key);
        EXPECT_EQ(first.size(), QSize(100, 100));
        EXPECT_EQ(first.pixelColor(50, 50), QColor(Qt::green));
        EXPECT_TRUE(QFile::remove(path));
        return !cache.image(key).isNull(); // served without its file only from the decoded cache
    };
    EXPECT_TRUE(decodedOnce(100 * 1000));
    EXPECT_FALSE(decodedOnce(30 * 1000)) << "an image larger than the decoded budget must not be kept";
}

TEST_F(PreviewMemory, PreviewSourceOutlivesItsOwnerAndDecodesUnstoredBytes)
{
    std::shared_ptr<PreviewSource> source;
    {
        auto cache = std::make_shared<PreviewCache>(0, 0);
        source = makePreviewSource(cache, cache->add(pngBytes(8, 6, Qt::black), "never-stored.png"));
    }
    EXPECT_EQ(source->image().size(), QSize(8, 6));
}

// The cache owns its decoding thread: going away, it waits for the decode that runs (which
// still uses the image libraries) and skips those queued; a delivery to a context that is gone
// never happens.
TEST_F(PreviewMemory, DestroyingTheCacheWaitsForTheRunningDecodeAndSkipsQueuedOnes)
{
    const QByteArray png = pngBytes(3000, 2000, Qt::gray); // some tens of ms to decode
    QSemaphore started;
    std::atomic<int> decodes = 0;
    std::atomic<bool> finished = false;
    int delivered = 0;
    auto cache = std::make_shared<PreviewCache>();
    cache->setDecoder([&](const QByteArray &data, const QString &name) {
        ++decodes;
        started.release();
        const QImage image = decodeFullImage(data, name);
        finished = !image.isNull();
        return image;
    });
    auto context = std::make_unique<QObject>();
    for (const char *name : {"running.png", "queued.png"})
        makePreviewSource(cache, cache->add(png, QString::fromLatin1(name)))
            ->requestImage(context.get(), [] { return true; }, [&](const QImage &) { ++delivered; });
    ASSERT_TRUE(started.tryAcquire(1, 10000));
    context.reset();
    cache.reset(); // the sources made above are gone: this is the last owner
    EXPECT_TRUE(finished) << "the cache went away while its decode was still running";
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(decodes, 1) << "a queued decode ran after its cache was gone";
    EXPECT_EQ(delivered, 0);
}
