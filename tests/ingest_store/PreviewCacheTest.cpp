#include <QCoreApplication>
#include <QSemaphore>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>

#include "SampleFiles.h"
#include "StoreHelpers.h"
#include "ingest/ImageDecode.h"
#include "ingest/PreviewCache.h"

namespace {

QByteArray png(int w, int h, QRgb colour = qRgb(0, 200, 0))
{
    return SampleFiles::encode(SampleFiles::solid(QSize(w, h), colour), "PNG");
}

class PreviewMemory : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    // Writes `data` as storing would and returns its path.
    QString storeCopy(const QString &name, const QByteArray &data)
    {
        QFile f(m_dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::NewOnly) && f.write(data) == data.size());
        return f.fileName();
    }
    QTemporaryDir m_dir;
};

} // namespace

// Stored photos' bytes stay within the budget (the newest kept, older ones read back from their
// file); an unstored photo's bytes are its only copy and are never dropped until stored.
TEST_F(PreviewMemory, BytesStayWithinTheBudgetExceptThoseNotYetStored)
{
    constexpr qint64 kBudget = 10 * 1024;
    PreviewCache cache(kBudget);
    QList<PreviewCache::Key> keys, unsaved;
    for (int i = 0; i < 60; ++i) {
        const QByteArray data(1000 + i, char('a' + i % 26));
        keys << cache.add(data, "p");
        cache.markStored(keys.last(), storeCopy(QStringLiteral("p%1").arg(i), data));
        unsaved << cache.add(QByteArray(100, char(i)), "u");
        EXPECT_LE(cache.storedBytesInMemory(), kBudget);
    }
    EXPECT_GT(cache.storedBytesInMemory(), kBudget / 2) << "the budget is used, not emptied";
    EXPECT_TRUE(cache.holdsBytes(keys.last()));
    EXPECT_FALSE(cache.holdsBytes(keys.first()));
    for (int i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(cache.bytes(keys[i]), QByteArray(1000 + i, char('a' + i % 26))) << i;
        EXPECT_TRUE(cache.holdsBytes(unsaved[i]));
    }
    EXPECT_EQ(cache.bytesInMemory() - cache.storedBytesInMemory(), 6000);
    for (int i = 0; i < unsaved.size(); ++i)
        cache.markStored(unsaved[i], storeCopy(QStringLiteral("late%1").arg(i), QByteArray(100, char(i))));
    EXPECT_LE(cache.bytesInMemory(), kBudget) << "once stored late they join the budget";
}

// A photo whose file was moved or replaced gives a null image; a failed decode is remembered.
TEST_F(PreviewMemory, GoneFilesGiveNullImagesAndDecodeFailuresAreRemembered)
{
    PreviewCache cache(0, 0); // nothing kept in memory: every read goes to the file
    int decodes = 0;
    cache.setDecoder([&](const QByteArray &data, const QString &name) { ++decodes; return decodeFullImage(data, name); });
    const QByteArray image = png(30, 20);
    const PreviewCache::Key moved = cache.add(image, "moved.png");
    cache.markStored(moved, storeCopy("moved.png", image));
    const PreviewCache::Key replaced = cache.add(image, "replaced.png");
    cache.markStored(replaced, storeCopy("replaced.png", image));
    EXPECT_EQ(cache.image(moved).size(), QSize(30, 20));
    ASSERT_TRUE(QFile::rename(m_dir.filePath("moved.png"), m_dir.filePath("elsewhere.png")));
    EXPECT_TRUE(cache.image(moved).isNull());
    ASSERT_TRUE(QFile::remove(m_dir.filePath("replaced.png")));
    storeCopy("replaced.png", png(300, 200));
    EXPECT_TRUE(cache.image(replaced).isNull());
    EXPECT_TRUE(cache.image(12345).isNull()) << "unknown key";

    const PreviewCache::Key broken = cache.add("not an image", "broken.jpg");
    decodes = 0;
    EXPECT_TRUE(cache.image(broken).isNull());
    EXPECT_TRUE(cache.image(broken).isNull());
    EXPECT_TRUE(cache.isUndecodable(broken));
    EXPECT_EQ(decodes, 1);
}

TEST_F(PreviewMemory, DecodedImagesAreCachedWithinTheirByteBudget)
{
    const QByteArray image = png(100, 100); // 40,000 bytes decoded
    const auto servedWithoutItsFile = [&](qint64 decodedBudget) {
        PreviewCache cache(0, decodedBudget);
        const PreviewCache::Key key = cache.add(image, "g.png");
        const QString path = storeCopy(QStringLiteral("g%1.png").arg(decodedBudget), image);
        cache.markStored(key, path);
        EXPECT_EQ(cache.image(key).pixelColor(50, 50), QColor(0, 200, 0));
        EXPECT_TRUE(QFile::remove(path));
        return !cache.image(key).isNull();
    };
    EXPECT_TRUE(servedWithoutItsFile(100 * 1000));
    EXPECT_FALSE(servedWithoutItsFile(30 * 1000)) << "an image over the decoded budget is not kept";
}

// Going away, the cache waits for the decode that runs (it still uses the image libraries) and
// skips those queued; a delivery to a context that is gone never happens. A preview source
// keeps the cache it needs.
TEST_F(PreviewMemory, DestroyingTheCacheWaitsForTheRunningDecodeAndSkipsQueuedOnes)
{
    std::shared_ptr<PreviewSource> kept;
    {
        auto cache = std::make_shared<PreviewCache>(0, 0);
        kept = makePreviewSource(cache, cache->add(png(8, 6), "never-stored.png"));
    }
    EXPECT_EQ(kept->image().size(), QSize(8, 6));

    const QByteArray image = png(3000, 2000); // some tens of ms to decode
    QSemaphore started;
    std::atomic<int> decodes = 0;
    std::atomic<bool> finished = false;
    int delivered = 0;
    auto cache = std::make_shared<PreviewCache>();
    cache->setDecoder([&](const QByteArray &data, const QString &name) {
        ++decodes;
        started.release();
        const QImage decoded = decodeFullImage(data, name);
        finished = !decoded.isNull();
        return decoded;
    });
    auto context = std::make_unique<QObject>();
    for (const char *name : {"running.png", "queued.png"})
        makePreviewSource(cache, cache->add(image, QString::fromLatin1(name)))
            ->requestImage(context.get(), [] { return true; }, [&](const QImage &) { ++delivered; });
    ASSERT_TRUE(started.tryAcquire(1, 10000));
    context.reset();
    cache.reset();
    EXPECT_TRUE(finished) << "the cache went away while its decode was still running";
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(decodes, 1) << "a queued decode ran after its cache was gone";
    EXPECT_EQ(delivered, 0);
}
