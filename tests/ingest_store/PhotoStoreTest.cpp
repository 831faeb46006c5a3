#include <QSettings>
#include <QStandardPaths>

#include "FakeConnection.h"
#include "SampleFiles.h"
#include "StoreHelpers.h"
#include "ingest/PhotoStore.h"
#include "state/Monitor.h"

namespace {

using Storage = CapturedPhoto::Storage;

class MonitorStorage : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid() && QDir().mkpath(folder)); }
    std::unique_ptr<Monitor> makeMonitor()
    {
        auto m = std::make_unique<Monitor>(
            std::make_unique<QSettings>(root.filePath("s"), QSettings::IniFormat));
        m->appendCamera(cam);
        return m;
    }
    // Waits until no photo is being written any more.
    bool settled()
    {
        return QTest::qWaitFor(
            [&] { return monitor->photoCount(Storage::Writing) == 0 && monitor->buildsInFlight() == 0; }, 10000);
    }
    QStringList files() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    QTemporaryDir root;
    const QString folder = root.filePath("captures");
    std::shared_ptr<CameraConnection> cam
        = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
    std::unique_ptr<Monitor> monitor = makeMonitor();
    QSignalSpy changes { monitor.get(), &Monitor::objectWillChange };
};

} // namespace

// A photo shows and is selected at once, marked Writing until its file is complete, then Stored
// under a numbered name in arrival order.
TEST_F(MonitorStorage, PhotoShowsAtOnceAndIsStoredUnderNumberedNamesInArrivalOrder)
{
    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    cam->status = CameraStatus::NoSignal;
    const QDateTime before = QDateTime::currentDateTime();
    const QByteArray data = SampleFiles::encode(SampleFiles::solid(QSize(40, 30), qRgb(9, 9, 9)), "PNG");
    changes.clear();
    for (int i = 0; i < 3; ++i)
        monitor->handleFile("IMG_0001.PNG", data, *cam);
    EXPECT_EQ(changes.count(), 3);
    EXPECT_EQ(monitor->photoCount(Storage::Writing), 3) << "never claimed stored before the disk is done";
    EXPECT_EQ(monitor->selectedPhotoId(), cam->photos.last().id());
    ASSERT_TRUE(settled());
    EXPECT_EQ(changes.count(), 9) << "one more notification per stored file and per built record";
    const QStringList names { "IMG_0001.PNG", "IMG_0001-1.PNG", "IMG_0001-2.PNG" };
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(cam->photos[i].isStored() && cam->photos[i].filename == "IMG_0001.PNG");
        EXPECT_EQ(cam->photos[i].storedPath, QDir(folder).filePath(names[i]));
        EXPECT_EQ(readFile(cam->photos[i].storedPath), data);
    }
    EXPECT_TRUE(cam->status == CameraStatus::Receiving && cam->lastActivity >= before);
    EXPECT_EQ(files(), (QStringList { "IMG_0001-1.PNG", "IMG_0001-2.PNG", "IMG_0001.PNG" }));
}

// Photos that cannot be written stay in memory, marked, and are written oldest first as soon as
// a folder is chosen or a later photo is stored; each cause is logged once per episode.
TEST_F(MonitorStorage, UnsavedPhotosAreWrittenOnceAFolderWorks)
{
    IngestLog log;
    monitor->handleFile("a.png", "first", *cam);
    monitor->handleFile("a.png", "second", *cam);
    EXPECT_EQ(monitor->photoCount(Storage::NotStored), 2) << "no folder: marked at once";
    EXPECT_EQ(log.lines.size(), 1) << "one report per cause, not per photo";
    const QString chosen = root.filePath("new/nested/folder");
    monitor->useChosenFolder(QUrl::fromLocalFile(chosen));
    ASSERT_TRUE(settled());
    EXPECT_EQ(monitor->folderName(), "folder");
    EXPECT_EQ(
        readFile(QDir(chosen).filePath("a.png")) + readFile(QDir(chosen).filePath("a-1.png")), "firstsecond");

    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    ASSERT_TRUE(QDir(folder).removeRecursively());
    monitor->handleFile("one.png", "1", *cam);
    monitor->handleFile("two.png", "2", *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(monitor->photoCount(Storage::NotStored), 2);
    EXPECT_TRUE(log.lines.size() == 2 && log.lines.last().contains("does not exist"));
    ASSERT_TRUE(QDir().mkpath(folder));
    monitor->handleFile("three.png", "3", *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(files(), (QStringList { "one.png", "three.png", "two.png" }));
    EXPECT_EQ(readFile(QDir(folder).filePath("two.png")), "2");
    ASSERT_TRUE(QDir(folder).removeRecursively());
    monitor->handleFile("four.png", "4", *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(log.lines.size(), 3) << "a new episode is reported again";
}

// Leftover temporary files are swept when a folder is chosen and when it is restored; photos
// still being written when the Monitor goes away are completed.
TEST_F(MonitorStorage, LeftoversAreSweptAndWritesFinishAtTheEnd)
{
    const QString leftover = QDir(folder).filePath(".halvane-a1B2c3.part");
    for (int restore = 0; restore < 2; ++restore) {
        QFile f(leftover);
        ASSERT_TRUE(f.open(QIODevice::NewOnly));
        f.close();
        restore ? void(monitor = makeMonitor()) : monitor->useChosenFolder(QUrl::fromLocalFile(folder));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(leftover); }, 10000));
    }
    const QByteArray big(48 << 20, 'x');
    for (int i = 0; i < 3; ++i)
        monitor->handleFile("big.raw", big, *cam);
    ASSERT_EQ(monitor->photoCount(Storage::Writing), 3);
    monitor.reset(); // quitting with writes under way
    EXPECT_EQ(files(), (QStringList { "big-1.raw", "big-2.raw", "big.raw" }));
    for (const QString &name : files())
        EXPECT_EQ(QFileInfo(QDir(folder).filePath(name)).size(), big.size());
}

TEST_F(MonitorStorage, FolderChooserStartsAtTheFolderAndOnlyALocalChoiceCounts)
{
    QSignalSpy asked(monitor.get(), &Monitor::folderChooserRequested);
    monitor->chooseFolder();
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString odd = root.filePath(QStringLiteral("Sesión #3 ?50% listo"));
    monitor->useChosenFolder(QUrl::fromLocalFile(odd));
    monitor->chooseFolder();
    ASSERT_EQ(asked.count(), 2);
    EXPECT_EQ(asked[0][0].toUrl().toLocalFile(), QFileInfo(pictures).isDir() ? pictures : QDir::homePath());
    EXPECT_EQ(QUrl(asked[1][0].toUrl().toString()).toLocalFile(), odd) << "the URL's text round-trips";
    changes.clear();
    monitor->useChosenFolder(QUrl());
    monitor->useChosenFolder(QUrl(QStringLiteral("https://example.invalid/photos")));
    EXPECT_TRUE(monitor->folder() == odd && changes.count() == 0);
}

// Without a new photo, the retry tick writes the waiting photos once the folder is back, in
// arrival order; tries while it is missing are not logged again.
TEST(PhotoStore, RetryTickWritesWaitingPhotosOnceTheFolderIsBack)
{
    IngestLog log;
    QTemporaryDir root;
    const QString folder = root.filePath("gone");
    PhotoStore store(20);
    QHash<QUuid, PhotoStore::Update> latest;
    int reports = 0;
    QObject::connect(&store, &PhotoStore::storageChanged, [&](const QList<PhotoStore::Update> &updates) {
        for (const PhotoStore::Update &u : updates)
            latest[u.photoId] = u, ++reports;
    });
    store.setFolder(folder);
    CapturedPhoto first, second;
    first.filename = second.filename = "same.png";
    store.add(QUuid(), {}, first, "one");
    store.add(QUuid(), {}, second, "two");
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports >= 8; }, 10000)) << "retries go on";
    EXPECT_TRUE(store.waitingCount() == 2 && log.lines.size() == 1);
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return store.waitingCount() == 0 && store.writesInFlight() == 0; }, 10000));
    EXPECT_EQ(latest[first.id()].storedPath, QDir(folder).filePath("same.png"));
    EXPECT_EQ(latest[second.id()].storedPath, QDir(folder).filePath("same-1.png"));
    EXPECT_EQ(readFile(latest[second.id()].storedPath), "two");
}
