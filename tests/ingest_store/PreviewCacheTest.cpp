#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>

#include <atomic>

#include "SampleFiles.h"
#include "StoreHelpers.h"
#include "ingest/ImageDecode.h"
#include "ingest/PreviewCache.h"

namespace {

QByteArray png(int w, int h)
{
    return SampleFiles::encode(SampleFiles::solid(QSize(w, h), qRgb(0, 200, 0)), "PNG");
}

} // namespace

// Stored photos' bytes stay within the budget (the newest kept, older ones read back from their
// file, a moved or replaced file giving nothing); an unstored photo's bytes are its only copy and
// stay until it is stored. Decoded images are bounded by their bytes; a failed decode is final.
TEST(PreviewMemory, BytesAndImagesStayWithinTheirBudgets)
{
    QTemporaryDir dir;
    int files = 0;
    const auto storeCopy = [&](PreviewCache &cache, PreviewCache::Key key, const QByteArray &data) {
        QFile f(dir.filePath(QString::number(++files)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::NewOnly) && f.write(data) == data.size());
        cache.markStored(key, f.fileName());
    };
    PreviewCache cache(10 * 1024);
    QList<PreviewCache::Key> keys, unsaved;
    for (int i = 0; i < 60; ++i) {
        keys << cache.add(QByteArray(1000 + i, char(i)), "p");
        storeCopy(cache, keys.last(), QByteArray(1000 + i, char(i)));
        unsaved << cache.add(QByteArray(100, char(i)), "u");
        EXPECT_LE(cache.storedBytesInMemory(), 10 * 1024);
    }
    EXPECT_GT(cache.storedBytesInMemory(), 5 * 1024) << "the budget is used, not emptied";
    EXPECT_TRUE(cache.holdsBytes(keys.last()) && !cache.holdsBytes(keys.first()));
    for (int i = 0; i < 60; ++i)
        EXPECT_TRUE(cache.bytes(keys[i]) == QByteArray(1000 + i, char(i)) && cache.holdsBytes(unsaved[i]))
            << i;
    for (const PreviewCache::Key key : unsaved)
        storeCopy(cache, key, cache.bytes(key));
    EXPECT_LE(cache.bytesInMemory(), 10 * 1024) << "once stored late they join the budget";
    // The first photo's file goes away; the second's is replaced by the third's.
    ASSERT_TRUE(QFile::remove(dir.filePath("1")) && QFile::remove(dir.filePath("2"))
        && QFile::copy(dir.filePath("3"), dir.filePath("2")));
    EXPECT_TRUE(cache.bytes(keys[0]).isEmpty() && cache.bytes(keys[1]).isEmpty()
        && cache.image(keys[0]).isNull() && cache.image(12345).isNull());

    for (const qint64 decodedBudget : { 100 * 1000, 30 * 1000 }) { // 100 x 100 decodes to 40,000 bytes
        PreviewCache small(0, decodedBudget);
        int decodes = 0;
        small.setDecoder([&](const QByteArray &data, const QString &name, QSize) {
            return ++decodes, decodeFullImage(data, name);
        });
        const PreviewCache::Key image = small.add(png(100, 100), "g.png"),
                                broken = small.add("not an image", "b.jpg");
        storeCopy(small, image, png(100, 100));
        EXPECT_EQ(small.image(image).pixelColor(50, 50), QColor(0, 200, 0));
        EXPECT_TRUE(
            small.image(broken).isNull() && small.image(broken).isNull() && small.isUndecodable(broken));
        EXPECT_EQ(small.image(image).isNull(), false);
        EXPECT_EQ(decodes, decodedBudget > 40000 ? 2 : 3)
            << "kept within the budget; a failure is not retried";
    }
}

// Going away, the cache waits for the decode that runs (it still uses the image libraries) and
// skips those queued; a delivery to a context that is gone never happens. A preview source keeps
// the cache it needs.
TEST(PreviewMemory, DestroyingTheCacheWaitsForTheRunningDecodeAndSkipsQueuedOnes)
{
    std::shared_ptr<PreviewSource> kept;
    {
        auto cache = std::make_shared<PreviewCache>(0, 0);
        kept = makePreviewSource(cache, cache->add(png(8, 6), "never-stored.png"));
    }
    EXPECT_EQ(kept->image().size(), QSize(8, 6));
    QSemaphore started;
    std::atomic<int> decodes = 0;
    std::atomic<bool> finished = false;
    int delivered = 0;
    auto cache = std::make_shared<PreviewCache>();
    cache->setDecoder([&](const QByteArray &data, const QString &name, QSize) {
        ++decodes, started.release();
        const QImage decoded = decodeFullImage(data, name);
        return finished = !decoded.isNull(), ViewImage(decoded);
    });
    auto context = std::make_unique<QObject>();
    const QByteArray image = png(3000, 2000); // some tens of ms to decode
    for (int i = 0; i < 2; ++i)
        makePreviewSource(cache, cache->add(image, "p.png"))
            ->requestImage(
                context.get(), {}, [] { return true; }, [&](const QImage &, bool) { ++delivered; });
    ASSERT_TRUE(started.tryAcquire(1, 10000));
    context.reset();
    cache.reset();
    EXPECT_TRUE(finished) << "the cache went away while its decode was still running";
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(decodes == 1 && delivered == 0) << "a queued decode ran, or a result was delivered, too late";
}

// Bytes that are only in a file are read back on the decoding thread once the request is its
// turn, never by the caller: the window never waits on a slow or dead disk.
TEST(PreviewMemory, BytesOnlyInAFileAreReadBackOnTheDecodingThread)
{
    QTemporaryDir dir;
    PreviewCache cache(0, 0); // keeps neither stored bytes nor decoded images
    QSemaphore gate;
    QStringList seen;
    cache.setDecoder([&](const QByteArray &data, const QString &, QSize) {
        gate.acquire();
        seen << QString::fromLatin1(data);
        return ViewImage(QImage(1, 1, QImage::Format_RGB32));
    });
    QList<PreviewCache::Key> keys;
    for (const char *bytes : { "AAAA", "BBBB" }) {
        keys << cache.add(bytes, "p");
        QFile f(dir.filePath(QString::number(keys.size())));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == 4);
        cache.markStored(keys.last(), f.fileName());
        ASSERT_FALSE(cache.holdsBytes(keys.last()));
    }
    QObject context;
    int delivered = 0;
    for (const PreviewCache::Key key : keys)
        cache.requestImage(key, {}, &context, [] { return true; }, [&](const ViewImage &) { ++delivered; });
    // The second photo's file changes while the first decodes: what it shows is read after.
    QFile f(dir.filePath("2"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("CCCC") == 4);
    f.close();
    gate.release(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return delivered == 2; }, 10000));
    EXPECT_EQ(seen, (QStringList { "AAAA", "CCCC" }));
}
