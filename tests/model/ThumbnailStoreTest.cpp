#include <QSemaphore>

#include <gtest/gtest.h>

#include "ThumbnailShoot.h"

// Each store keeps within its two shares, keeps the newest thumbnails at hand, decompresses the
// ones it kept packed, and rebuilds the ones it dropped from their files, or leaves them to the
// placeholder when the files are gone.
TEST(ThumbnailStore, KeepsWithinItsSharesAndRebuildsWhatItDropped)
{
    const qint64 decoded = ThumbnailShoot::kSize.width() * ThumbnailShoot::kSize.height() * 4;
    // Photos; room for the newest so many compressed, and decoded; whether their files are gone.
    for (const auto &[photos, packedFit, decodedFit, gone] : std::vector<std::tuple<int, int, int, bool>>{
             {5, 8, 8, false}, {6, 8, 2, false}, {6, 3, 2, false}, {6, 2, 1, true}, {4, 0, 1, false}}) {
        SCOPED_TRACE(testing::Message() << photos << " photos, " << packedFit << " packed, " << decodedFit << " decoded");
        qint64 packedShare = qint64(1) << 30; // the newest packedFit, and not one more
        for (int i = 0; i < photos; ++i) {
            const qint64 packed = Thumbnail::pack(ThumbnailShoot::picture(i)).size();
            packedShare = i < photos - packedFit ? std::min(packedShare, packed - 1) : packedShare + packed;
        }
        std::atomic<int> rebuilt = 0;
        ThumbnailShoot shoot(photos, packedShare, decodedFit * decoded,
            [&](const QString &name, const QByteArray &data) { return ++rebuilt, buildThumbnail(name, data); });
        EXPECT_EQ(shoot.store->packedCount(), std::min(photos, packedFit));
        for (int i = 0; i < photos; ++i) {
            EXPECT_EQ(shoot.thumbs[i].cached().isNull(), photos - 1 - i >= decodedFit) << i;
            EXPECT_EQ(shoot.thumbs[i].size(), ThumbnailShoot::kSize);
            EXPECT_TRUE(!gone || QFile::remove(shoot.path(i)));
        }
        // Newest first, as a strip shows them: what is brought back displaces the oldest.
        for (int i = photos - 1; i >= 0; --i) {
            const bool dropped = photos - 1 - i >= std::max(packedFit, decodedFit);
            EXPECT_EQ(shoot.thumbs[i].image().isNull(), dropped) << i;
            EXPECT_EQ(shoot.load(i), dropped ? std::optional(!gone) : std::nullopt) << i;
            EXPECT_EQ(ThumbnailShoot::shows(i, shoot.thumbs[i].cached()), !(dropped && gone)) << i;
        }
        EXPECT_EQ(rebuilt, gone ? 0 : std::max(0, photos - std::max(packedFit, decodedFit)));
        EXPECT_EQ(shoot.budget.used(MemoryBudget::Part::Thumbnails), shoot.store->packedBytes() + shoot.store->decodedBytes());
        shoot.thumbs.clear();
        EXPECT_EQ(shoot.budget.used(MemoryBudget::Part::Thumbnails), 0) << "forgotten with their photos";
    }
}

// Loads run newest first, and those asked for long before the newest are passed over: the view
// has moved on, and its tiles ask again.
TEST(ThumbnailStore, LoadsTheNewestRequestsFirstAndPassesOverOldOnes)
{
    QSemaphore entered, release;
    QStringList order;
    ThumbnailShoot shoot(300, 0, 0, [&](const QString &name, const QByteArray &) {
        if (order.isEmpty()) {
            entered.release();
            release.acquire();
        }
        order.append(name);
        return QImage(ThumbnailShoot::kSize, QImage::Format_RGB32);
    });
    int answered = 0;
    QObject context;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(shoot.thumbs[i].request(&context, [&](bool again) { answered += again; }));
        if (i == 0)
            entered.acquire(); // the first load is running: the rest queue behind it
    }
    release.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered == 300; }));
    EXPECT_EQ(order.size(), 1 + ThumbnailStore::kWantedLoads + 1);
    EXPECT_EQ(order.mid(0, 3), QStringList({"0.png", "299.png", "298.png"}));
    EXPECT_EQ(order.last(), QString::number(299 - ThumbnailStore::kWantedLoads) + ".png");
}
