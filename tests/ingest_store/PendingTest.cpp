#include <QSettings>

#include "FakeConnection.h"
#include "StoreHelpers.h"
#include "ingest/PendingFolder.h"
#include "ingest/PhotoStore.h"
#include "state/Monitor.h"

namespace {

using Storage = CapturedPhoto::Storage;

class Pending : public ::testing::Test
{
protected:
    std::unique_ptr<Monitor> makeMonitor()
    {
        auto m = std::make_unique<Monitor>(std::make_unique<QSettings>(root.filePath("s"), QSettings::IniFormat));
        m->store().setPendingFolder(pendingDir);
        return m;
    }
    // The complete pending photos, oldest first.
    QStringList pendingFiles() const { return QDir(pendingDir).entryList({"*.pending"}, QDir::Files, QDir::Name); }
    QStringList files() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    bool idle(Monitor &m)
    {
        return QTest::qWaitFor([&] { return m.store().writesInFlight() == 0; }, 10000);
    }

    QTemporaryDir root;
    const QString folder = root.filePath("captures");
    const QString pendingDir = root.filePath("data/halvane/pending");
    std::shared_ptr<CameraConnection> cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
};

} // namespace

// Without a folder, photos wait on disk, not in memory, and nothing is asked at quit; a chosen
// folder receives them oldest first, byte for byte, and only then are the pending files removed.
TEST_F(Pending, PhotosWaitOnDiskAndMoveIntoTheChosenFolderOldestFirst)
{
    auto monitor = makeMonitor();
    monitor->appendCamera(cam);
    cam->name = "Estudio";
    const QList<QByteArray> data { QByteArray(300000, 'a'), "second", "third" };
    for (const QByteArray &bytes : data)
        monitor->handleFile("IMG.JPG", bytes, *cam);
    ASSERT_TRUE(idle(*monitor));
    EXPECT_EQ(monitor->photoCount(Storage::NotStored), 3) << "still marked: not in the capture folder";
    EXPECT_EQ(monitor->store().memoryOnlyCount(), 0);
    EXPECT_EQ(monitor->store().previews().unstoredBytes(), 0) << "their bytes may leave memory";
    EXPECT_EQ(monitor->store().previews().bytes(1), data[0]) << "and are read back from the pending file";
    const QStringList names = pendingFiles();
    ASSERT_EQ(names.size(), 3);
    const std::optional<pending::Photo> first = pending::read(QDir(pendingDir).filePath(names[0]));
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->meta.id, cam->photos[0].id());
    EXPECT_EQ(QStringList({first->meta.name, first->meta.cameraName}), QStringList({"IMG.JPG", "Estudio"}));
    EXPECT_EQ(pending::readData(*first), data[0]);

    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor->photoCount(Storage::Stored) == 3; }, 10000));
    ASSERT_TRUE(idle(*monitor));
    EXPECT_EQ(files(), QStringList({"IMG-1.JPG", "IMG-2.JPG", "IMG.JPG"}));
    EXPECT_EQ(readFile(QDir(folder).filePath("IMG.JPG")), data[0]);
    EXPECT_EQ(readFile(QDir(folder).filePath("IMG-2.JPG")), data[2]);
    EXPECT_EQ(cam->photos[1].storedPath, QDir(folder).filePath("IMG-1.JPG"));
    EXPECT_TRUE(pendingFiles().isEmpty());
    EXPECT_EQ(monitor->store().previews().bytes(1), data[0]) << "read back from the capture folder now";
}

// A run that ended with photos pending: the next run removes interrupted writes, leaves files it
// cannot read alone, stores each photo once (one already stored before the end is not stored
// again), tells how many once they are all in, and lists none of them as photos.
TEST_F(Pending, PhotosOfAnEarlierRunAreStoredOnceAndTold)
{
    {
        auto earlier = makeMonitor();
        earlier->appendCamera(cam);
        for (const char *bytes : { "one", "two", "three" })
            earlier->handleFile("a.png", bytes, *cam);
        ASSERT_TRUE(idle(*earlier));
    }
    ASSERT_EQ(pendingFiles().size(), 3);
    for (const char *name : { ".tmp-interrupted", "9-broken.pending" }) {
        QFile f(QDir(pendingDir).filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("HALVANE-PENDING 1\n{}\n") > 0);
    }
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile storedBefore(QDir(folder).filePath("a.png"));
    ASSERT_TRUE(storedBefore.open(QIODevice::WriteOnly) && storedBefore.write("one") == 3);
    storedBefore.close();
    QSettings(root.filePath("s"), QSettings::IniFormat).setValue(Monitor::kFolderKey, folder);

    IngestLog log;
    auto monitor = makeMonitor();
    QSignalSpy told(&monitor->store(), &PhotoStore::recovered);
    ASSERT_TRUE(told.wait(10000));
    EXPECT_EQ(told.first(), QVariantList({3, folder}));
    EXPECT_EQ(monitor->recoveredCount(), 3);
    EXPECT_TRUE(monitor->cameras().isEmpty());
    ASSERT_TRUE(idle(*monitor));
    EXPECT_EQ(files(), QStringList({"a-1.png", "a-2.png", "a.png"}));
    EXPECT_EQ(readFile(QDir(folder).filePath("a-1.png")) + readFile(QDir(folder).filePath("a-2.png")), "twothree");
    EXPECT_EQ(QDir(pendingDir).entryList(QDir::Files | QDir::Hidden, QDir::Name),
        QStringList({".lock", "9-broken.pending"}));
    EXPECT_EQ(log.lines.filter("not complete pending photos").size(), 1);
    monitor->dismissRecovered();
    EXPECT_EQ(monitor->recoveredCount(), 0);

    // Another instance finds the folder locked and keeps its photos in memory.
    auto second = makeMonitor();
    EXPECT_TRUE(second->store().pendingFolder().isEmpty());
}

// When the pending folder fails too, photos wait in memory; past the budget the store asks to
// hold the cameras back, and lets go once the pending folder works again and takes them.
TEST(PhotoStorePending, MemoryPastTheBudgetHoldsTheCamerasUntilThePendingFolderWorks)
{
    IngestLog log;
    QTemporaryDir root;
    const QString pendingDir = root.filePath("pending");
    PhotoStore store(20);
    store.setPendingFolder(pendingDir);
    store.setMemoryBudgets(10, 1 << 20);
    QSignalSpy held(&store, &PhotoStore::hold);
    ASSERT_TRUE(QTest::qWaitFor([&] { return store.writesInFlight() == 0; }, 10000));
    ASSERT_TRUE(QDir(pendingDir).removeRecursively());
    CapturedPhoto small, big;
    store.add({}, {}, small, "12345");
    ASSERT_TRUE(QTest::qWaitFor([&] { return store.memoryOnlyCount() == 1; }, 10000));
    EXPECT_EQ(held.count(), 0) << "under the budget";
    store.add({}, {}, big, "1234567890");
    EXPECT_EQ(held.count(), 1);
    EXPECT_TRUE(store.holding());
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.lines.filter("waits in memory").size() == 1; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return store.memoryOnlyCount() == 2; }, 10000));

    ASSERT_TRUE(QDir().mkpath(pendingDir));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.holding(); }, 10000)) << "the retry tick takes them";
    EXPECT_EQ(held.count(), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return store.memoryOnlyCount() == 0 && store.writesInFlight() == 0; }, 10000));
    const QStringList names = QDir(pendingDir).entryList({"*.pending"}, QDir::Files, QDir::Name);
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(pending::readData(*pending::read(QDir(pendingDir).filePath(names[1]))), "1234567890");
    EXPECT_EQ(log.lines.filter("waits in memory").size(), 1) << "each failure logged once";
}
