#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

#include "state/RecordBuilds.h"

namespace {

// Builds whose photos are files of a temporary folder, or in memory only; each build blocks
// until the test lets it go, so the queue can be filled before anything runs.
struct RecordBuildsTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        MemoryBudget::global().setShare(MemoryBudget::Part::Building, 500);
        builds.setThreads(1);
        builds.setBuild([this](const QString &name, const QByteArray &data) {
            gate.acquire();
            BuiltPhoto built;
            built.thumb = QImage(1, 1, QImage::Format_RGB32);
            built.thumb.setText(QStringLiteral("bytes"), QString::fromLatin1(data));
            Q_UNUSED(name);
            return built;
        });
    }
    void TearDown() override
    {
        gate.release(1000);
        MemoryBudget::global().resetShares();
    }
    // A photo of `size` bytes; written to a file when `onDisk`.
    void add(int n, qsizetype size, bool onDisk)
    {
        const QByteArray data(size, char('a' + n));
        if (onDisk) {
            const QString path = dir.filePath(QString::number(n));
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(data) == size);
            spans[PreviewCache::Key(n)] = {path, 0, size};
        }
        ids[n] = QUuid::createUuid();
        builds.add(QUuid(), ids[n], QString::number(n), data, PreviewCache::Key(n));
    }
    bool allDone()
    {
        gate.release(1000);
        return QTest::qWaitFor([&] { return builds.inFlight() == 0; }, 10000);
    }
    // What each photo was built from, in build order.
    std::vector<std::pair<int, QByteArray>> order;
    std::map<PreviewCache::Key, PreviewCache::FileSpan> spans, stale;
    std::map<int, QUuid> ids;
    QTemporaryDir dir;
    QSemaphore gate;
    QObject context;
    RecordBuilds builds{&context,
        [this](PreviewCache::Key key) -> std::optional<PreviewCache::FileSpan> {
            if (auto old = stale.extract(key))
                return old.mapped();
            const auto it = spans.find(key);
            return it == spans.end() ? std::nullopt : std::optional(it->second);
        },
        [this](const QUuid &, const QUuid &photoId, const BuiltPhoto &built) {
            for (const auto &[n, id] : ids)
                if (id == photoId)
                    order.emplace_back(n, built.thumb.text(QStringLiteral("bytes")).toLatin1());
        }};
};

} // namespace

// Queued builds of photos on disk keep their bytes within the share, the newest first; the
// others let them go and read them back when they run; a photo in no file keeps its bytes.
// The newest is built first.
TEST_F(RecordBuildsTest, OverTheShareBuildsOfPhotosOnDiskLetTheirBytesGo)
{
    add(0, 400, false); // runs at once, and waits at the gate
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return MemoryBudget::global().used(MemoryBudget::Part::Building) == 400; }, 5000));
    add(1, 400, true);
    add(2, 400, false);
    add(3, 400, true);
    EXPECT_EQ(builds.heldBytes(), 800) << "1, the oldest on disk, let go; 2 is only in memory";
    EXPECT_EQ(MemoryBudget::global().used(MemoryBudget::Part::Building), 400 + 400)
        << "3 and the running build; 2 counts where it waits to be written";
    add(4, 400, true);
    EXPECT_EQ(builds.heldBytes(), 800) << "then 3";
    ASSERT_TRUE(allDone());
    const std::vector<std::pair<int, QByteArray>> expected{{0, QByteArray(400, 'a')}, {4, QByteArray(400, 'e')},
        {3, QByteArray(400, 'd')}, {2, QByteArray(400, 'c')}, {1, QByteArray(400, 'b')}};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(MemoryBudget::global().used(MemoryBudget::Part::Building), 0);
}

// A photo whose file moved after its bytes were let go (the pending copy went to the capture
// folder) is built from where the file is now; one whose file is gone keeps its placeholders,
// and neither stops the others.
TEST_F(RecordBuildsTest, MovedFilesAreFollowedAndGoneOnesSkipped)
{
    add(0, 10, false);
    add(1, 600, true);
    add(2, 600, true);
    add(3, 600, true);
    ASSERT_EQ(builds.heldBytes(), 0) << "600 bytes each, over the share";
    // 2 moves, and the next lookup still gives where it was; 1 is cut short (the file is no
    // longer the photo).
    const QString moved = dir.filePath(QStringLiteral("moved"));
    ASSERT_TRUE(QFile::rename(spans[2].path, moved));
    stale[2] = spans[2];
    spans[2].path = moved;
    QFile cut(spans[1].path);
    ASSERT_TRUE(cut.resize(100));
    ASSERT_TRUE(allDone());
    const std::vector<std::pair<int, QByteArray>> expected{
        {0, QByteArray(10, 'a')}, {3, QByteArray(600, 'd')}, {2, QByteArray(600, 'c')}};
    EXPECT_EQ(order, expected);
}
