#include <QSemaphore>

#include <limits>

#include <gtest/gtest.h>

#include "ThumbnailShoot.h"

// Each store keeps within its two shares, keeps the newest thumbnails at hand, decompresses the
// ones it kept packed, and rebuilds the ones it dropped from their files, or leaves them to the
// placeholder when the files are gone.
TEST(ThumbnailStore, KeepsWithinItsSharesAndRebuildsWhatItDropped)
{
    const qint64 decoded = ThumbnailShoot::kSize.width() * ThumbnailShoot::kSize.height() * 4;
    struct Case {
        int photos, packedFit, decodedFit; // shares, in thumbnails
        bool filesGone;
    };
    for (const auto &[photos, packedFit, decodedFit, filesGone] :
         {Case{5, 8, 8, false}, Case{6, 8, 2, false}, Case{6, 3, 2, false}, Case{6, 2, 1, true}, Case{4, 0, 1, false}}) {
        SCOPED_TRACE(testing::Message() << photos << " photos, " << packedFit << " packed, " << decodedFit << " decoded");
        // Room for the newest `packedFit` compressed, and not one more.
        qint64 packedShare = std::numeric_limits<int>::max();
        for (int i = 0; i < photos; ++i) {
            const qint64 packed = Thumbnail::pack(ThumbnailShoot::picture(i)).size();
            packedShare = i < photos - packedFit ? std::min(packedShare, packed - 1) : packedShare + packed;
        }
        std::atomic<int> rebuilt = 0;
        ThumbnailShoot shoot(photos, packedShare, decodedFit * decoded, [&](const QString &name, const QByteArray &data) {
            ++rebuilt;
            return buildThumbnail(name, data);
        });
        const auto used = [&] { return shoot.budget.used(MemoryBudget::Part::Thumbnails); };
        EXPECT_EQ(used(), shoot.store->packedBytes() + shoot.store->decodedBytes());
        EXPECT_EQ(shoot.store->packedCount(), std::min(photos, packedFit));
        for (int i = 0; i < photos; ++i) {
            EXPECT_EQ(shoot.thumbs[i].cached().isNull(), photos - 1 - i >= decodedFit) << i;
            EXPECT_EQ(shoot.thumbs[i].size(), ThumbnailShoot::kSize);
            if (filesGone)
                QFile::remove(shoot.path(i));
        }
        // Newest first, as a strip shows them: what is brought back displaces the oldest.
        int dropped = 0;
        for (int i = photos - 1; i >= 0; --i) {
            if (photos - 1 - i < std::max(packedFit, decodedFit)) {
                EXPECT_TRUE(shoot.shows(i, shoot.thumbs[i].image())) << i;
                continue;
            }
            ++dropped;
            EXPECT_TRUE(shoot.thumbs[i].image().isNull()) << i;
            EXPECT_EQ(shoot.load(i), !filesGone) << i;
            EXPECT_TRUE(filesGone ? shoot.thumbs[i].cached().isNull() : shoot.shows(i, shoot.thumbs[i].cached())) << i;
        }
        EXPECT_EQ(rebuilt, filesGone ? 0 : dropped);
        EXPECT_LE(shoot.store->packedBytes(), packedShare);
        EXPECT_LE(shoot.store->decodedBytes(), decodedFit * decoded);
        EXPECT_EQ(used(), shoot.store->packedBytes() + shoot.store->decodedBytes());
        shoot.thumbs.clear();
        EXPECT_EQ(used(), 0) << "forgotten with their photos";
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
