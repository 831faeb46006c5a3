#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "SampleFiles.h"
#include "StoreHelpers.h"
#include "ingest/PhotoStore.h"
#include "state/Monitor.h"

namespace {

using Storage = CapturedPhoto::Storage;

QByteArray png(int w, int h)
{
    return SampleFiles::encode(SampleFiles::solid(QSize(w, h), qRgb(w, h, 7)), "PNG");
}

class MonitorStorage : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid() && QDir().mkpath(folder)); }
    std::unique_ptr<Monitor> makeMonitor()
    {
        auto m = std::make_unique<Monitor>(std::make_unique<QSettings>(root.filePath("s.ini"), QSettings::IniFormat));
        m->appendCamera(cam);
        return m;
    }
    // Waits until no photo is being written any more.
    bool settled() { return QTest::qWaitFor([&] { return monitor->photoCount(Storage::Writing) == 0; }, 10000); }
    QStringList files() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QString path(const QString &name) const { return QDir(folder).filePath(name); }

    QTemporaryDir root;
    const QString folder = root.filePath("captures");
    std::shared_ptr<CameraConnection> cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
    std::unique_ptr<Monitor> monitor = makeMonitor();
};

} // namespace

TEST_F(MonitorStorage, PhotoShowsAtOnceAndIsStoredUnderNumberedNamesInArrivalOrder)
{
    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    cam->status = CameraStatus::NoSignal;
    const QDateTime before = QDateTime::currentDateTime();
    QSignalSpy changes(monitor.get(), &Monitor::objectWillChange);
    const QByteArray data = png(40, 30);
    for (int i = 0; i < 3; ++i)
        monitor->handleFile("IMG_0001.PNG", data, *cam);
    EXPECT_EQ(changes.count(), 3);
    EXPECT_EQ(monitor->photoCount(Storage::Writing), 3) << "never claimed stored before the disk is done";
    EXPECT_EQ(monitor->selectedPhotoId(), cam->photos.last().id());
    ASSERT_TRUE(settled());
    EXPECT_EQ(changes.count(), 6) << "one more notification per stored file";
    const QStringList names{"IMG_0001.PNG", "IMG_0001-1.PNG", "IMG_0001-2.PNG"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(cam->photos[i].filename, "IMG_0001.PNG");
        EXPECT_EQ(cam->photos[i].storedPath, path(names[i]));
        EXPECT_TRUE(cam->photos[i].isStored());
        EXPECT_EQ(readFile(cam->photos[i].storedPath), data);
    }
    EXPECT_EQ(cam->status, CameraStatus::Receiving);
    EXPECT_GE(cam->lastActivity, before);

    // Another camera's photo is selected by id; a hostile name lands inside, shown as sent.
    auto other = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
    monitor->appendCamera(other);
    monitor->handleFile("../../escape.png", "x", *other);
    ASSERT_TRUE(settled());
    EXPECT_EQ(monitor->selectedPhotoId(), other->photos.first().id());
    EXPECT_EQ(monitor->selectedPhoto(), &cam->photos.last());
    EXPECT_EQ(other->photos.first().filename, "../../escape.png");
    EXPECT_EQ(other->photos.first().storedPath, path("___.._escape.png"));
}

TEST_F(MonitorStorage, PausedCameraDiscardsTheFileAndChangesNothing)
{
    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    cam->enabled = false;
    cam->status = CameraStatus::Paused;
    const QDateTime activity = cam->lastActivity.addSecs(-3600);
    cam->lastActivity = activity;
    QSignalSpy changes(monitor.get(), &Monitor::objectWillChange);
    monitor->handleFile("IMG_0001.JPG", "bytes", *cam);
    EXPECT_TRUE(cam->photos.isEmpty());
    EXPECT_EQ(cam->status, CameraStatus::Paused);
    EXPECT_EQ(cam->lastActivity, activity);
    EXPECT_TRUE(monitor->selectedPhotoId().isNull());
    EXPECT_EQ(changes.count(), 0);
    EXPECT_TRUE(files().isEmpty());
}

// Photos that cannot be written stay in memory, marked, and are written oldest first as soon as
// a folder is chosen or a later photo is stored; each cause is logged once per episode.
TEST_F(MonitorStorage, UnsavedPhotosAreWrittenOnceAFolderWorks)
{
    IngestLog log;
    const QByteArray first = png(10, 10), second = png(12, 8);
    monitor->handleFile("a.png", first, *cam);
    monitor->handleFile("a.png", second, *cam);
    EXPECT_EQ(monitor->photoCount(Storage::NotStored), 2) << "no folder: marked at once";
    EXPECT_EQ(log.lines().size(), 1) << "one report per cause, not per photo";
    const QString chosen = root.filePath("new/nested/folder");
    monitor->useChosenFolder(QUrl::fromLocalFile(chosen));
    ASSERT_TRUE(settled());
    EXPECT_EQ(monitor->folderName(), "folder");
    EXPECT_EQ(readFile(QDir(chosen).filePath("a.png")), first);
    EXPECT_EQ(readFile(QDir(chosen).filePath("a-1.png")), second);

    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    ASSERT_TRUE(QDir(folder).removeRecursively());
    monitor->handleFile("one.png", first, *cam);
    monitor->handleFile("two.png", second, *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(monitor->photoCount(Storage::NotStored), 2);
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_TRUE(log.lines().last().contains("does not exist")) << log.lines().last().toStdString();
    EXPECT_FALSE(cam->photos[2].preview->image().isNull()) << "the bytes are still there for the viewer";
    ASSERT_TRUE(QDir().mkpath(folder));
    monitor->handleFile("three.png", png(7, 7), *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(files(), (QStringList{"one.png", "three.png", "two.png"}));
    EXPECT_EQ(readFile(path("two.png")), second);
    ASSERT_TRUE(QDir(folder).removeRecursively());
    monitor->handleFile("four.png", first, *cam);
    ASSERT_TRUE(settled());
    EXPECT_EQ(log.lines().size(), 3) << "a new episode is reported again";
}

TEST_F(MonitorStorage, FolderPathThatIsAFileKeepsPhotosUnsavedAndTheFileIntact)
{
    const QString file = root.filePath("not-a-folder");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("keep me") == 7);
    f.close();
    monitor->setFolder(file);
    monitor->handleFile("a.png", "data", *cam);
    ASSERT_TRUE(settled());
    EXPECT_TRUE(cam->photos.first().isNotStored());
    EXPECT_EQ(readFile(file), "keep me");
}

TEST_F(MonitorStorage, LeftoversAreSweptOnRestoreAndChoiceAndWritesFinishAtTheEnd)
{
    const QString leftover = path(".halvane-a1B2c3.part");
    const auto plant = [&] { QFile f(leftover); return f.open(QIODevice::WriteOnly) && f.write("x") == 1; };
    ASSERT_TRUE(plant());
    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(leftover); }, 10000));
    ASSERT_TRUE(plant());
    monitor = makeMonitor(); // restores the folder
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(leftover); }, 10000));

    const QByteArray big(48 << 20, 'x');
    for (int i = 0; i < 3; ++i)
        monitor->handleFile("big.raw", big, *cam);
    ASSERT_EQ(monitor->photoCount(Storage::Writing), 3);
    monitor.reset(); // quitting with writes under way
    EXPECT_EQ(files(), (QStringList{"big-1.raw", "big-2.raw", "big.raw"}));
    for (const QString &name : files())
        EXPECT_EQ(QFileInfo(path(name)).size(), big.size());
}

TEST_F(MonitorStorage, FolderChooserStartsAtTheFolderAndOnlyALocalChoiceCounts)
{
    QSignalSpy asked(monitor.get(), &Monitor::folderChooserRequested);
    monitor->chooseFolder();
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    ASSERT_EQ(asked.count(), 1);
    EXPECT_EQ(asked[0][0].toUrl().toLocalFile(), QFileInfo(pictures).isDir() ? pictures : QDir::homePath());
    const QString odd = root.filePath(QStringLiteral("Sesión #3 ?50% listo"));
    monitor->useChosenFolder(QUrl::fromLocalFile(odd));
    monitor->chooseFolder();
    ASSERT_EQ(asked.count(), 2);
    EXPECT_EQ(QUrl(asked[1][0].toUrl().toString()).toLocalFile(), odd) << "the URL's text round-trips";
    QSignalSpy changes(monitor.get(), &Monitor::objectWillChange);
    monitor->useChosenFolder(QUrl());
    monitor->useChosenFolder(QUrl(QStringLiteral("https://example.invalid/photos")));
    EXPECT_EQ(monitor->folder(), odd);
    EXPECT_EQ(changes.count(), 0);
}

// Without a new photo, the retry tick writes the waiting photos once the folder is back, in
// arrival order, and tries while it is missing are not logged again.
TEST(PhotoStore, RetryTickWritesWaitingPhotosOnceTheFolderIsBack)
{
    IngestLog log;
    QTemporaryDir root;
    const QString folder = root.filePath("gone");
    PhotoStore store(20);
    QHash<QUuid, PhotoStore::Update> latest;
    int reports = 0;
    QObject::connect(&store, &PhotoStore::storageChanged, [&](const QList<PhotoStore::Update> &updates) {
        ++reports;
        for (const PhotoStore::Update &u : updates)
            latest[u.photoId] = u;
    });
    store.setFolder(folder);
    CapturedPhoto first, second;
    first.filename = second.filename = "same.png";
    store.add(QUuid(), first, "one");
    store.add(QUuid(), second, "two");
    EXPECT_EQ(first.storage, Storage::Writing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports >= 8; }, 10000)) << "retries go on";
    EXPECT_EQ(store.waitingCount(), 2);
    EXPECT_EQ(log.lines().size(), 1);
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QTest::qWaitFor([&] { return latest[first.id()].storage == Storage::Stored
                                             && latest[second.id()].storage == Storage::Stored; }, 10000));
    EXPECT_EQ(readFile(QDir(folder).filePath("same.png")), "one");
    EXPECT_EQ(latest[second.id()].storedPath, QDir(folder).filePath("same-1.png"));
    EXPECT_EQ(store.waitingCount(), 0);
}
