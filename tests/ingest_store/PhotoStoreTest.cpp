#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>

#include "FakeConnection.h"
#include "SampleFiles.h"
#include "StoreHelpers.h"
#include "ingest/PendingFolder.h"
#include "ingest/PhotoStore.h"
#include "ingest/PosixFile.h"
#include "ingest/StoreWriter.h"
#include "state/Monitor.h"

namespace {

using Storage = CapturedPhoto::Storage;

class MonitorStorage : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid() && QDir().mkpath(folder)); }
    // A Monitor over the same settings, with the pending folder in use when `pending`.
    std::unique_ptr<Monitor> makeMonitor(bool pending = false)
    {
        auto m = std::make_unique<Monitor>(
            std::make_unique<QSettings>(root.filePath("s"), QSettings::IniFormat));
        m->appendCamera(cam);
        if (pending)
            m->store().setPendingFolder(pendingDir);
        return m;
    }
    // Waits until no photo is being written any more; `idle`: until the writer has nothing to do.
    bool settled(bool idle = false)
    {
        return QTest::qWaitFor([&] {
            return monitor->photoCount(Storage::Writing) == 0 && monitor->buildsInFlight() == 0
                && (!idle || monitor->store().writesInFlight() == 0);
        }, 10000);
    }
    QStringList files() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QStringList pendingFiles() const { return QDir(pendingDir).entryList({"*.pending"}, QDir::Files, QDir::Name); }

    QTemporaryDir root;
    const QString folder = root.filePath("captures");
    const QString pendingDir = root.filePath("data/halvane/pending");
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

    // Missing at the next start (a disk not plugged in yet): the folder button warns, and the
    // chooser opens at the nearest existing parent, or at the folder itself once it is back.
    const QString onDisk = root.filePath("disco/fotos/hoy");
    monitor->useChosenFolder(QUrl::fromLocalFile(onDisk));
    ASSERT_TRUE(QDir(root.filePath("disco")).removeRecursively());
    monitor = makeMonitor();
    QSignalSpy again(monitor.get(), &Monitor::folderChooserRequested);
    EXPECT_TRUE(monitor->folder().isEmpty() && monitor->folderFailing());
    monitor->chooseFolder();
    ASSERT_TRUE(QDir().mkpath(onDisk));
    monitor->chooseFolder();
    EXPECT_EQ(QList({ again[0][0].toUrl().toLocalFile(), again[1][0].toUrl().toLocalFile() }), QList({ root.path(), onDisk }));
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
    EXPECT_TRUE(store.waitingCount() == 2 && log.lines.size() == 1 && store.folderFailing());
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return store.waitingCount() == 0 && store.writesInFlight() == 0; }, 10000));
    EXPECT_EQ(latest[first.id()].storedPath, QDir(folder).filePath("same.png"));
    EXPECT_EQ(latest[second.id()].storedPath, QDir(folder).filePath("same-1.png"));
    EXPECT_EQ(readFile(latest[second.id()].storedPath), "two");
    EXPECT_FALSE(store.folderFailing());
}

// Without a folder, photos wait on disk, not in memory; a chosen folder receives them oldest
// first, byte for byte, and only then are the pending files removed.
TEST_F(MonitorStorage, PendingPhotosWaitOnDiskAndMoveIntoTheChosenFolderOldestFirst)
{
    monitor = makeMonitor(true);
    cam->name = "Estudio";
    const QList<QByteArray> data { QByteArray(300000, 'a'), "second", "third" };
    for (const QByteArray &bytes : data)
        monitor->handleFile("IMG.JPG", bytes, *cam);
    ASSERT_TRUE(settled(true));
    EXPECT_EQ(QList<int>({monitor->photoCount(Storage::NotStored), monitor->store().memoryOnlyCount()}), QList<int>({3, 0}));
    EXPECT_EQ(monitor->store().previews().unstoredBytes(), 0) << "their bytes left memory";
    EXPECT_EQ(monitor->store().previews().bytes(1), data[0]) << "read back from the pending file";
    ASSERT_EQ(pendingFiles().size(), 3);
    const std::optional<pending::Photo> first = pending::read(QDir(pendingDir).filePath(pendingFiles()[0]));
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->meta.id == cam->photos[0].id() && first->meta.cameraName == "Estudio");

    monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor->photoCount(Storage::Stored) == 3; }, 10000) && settled(true));
    EXPECT_EQ(files(), QStringList({"IMG-1.JPG", "IMG-2.JPG", "IMG.JPG"}));
    EXPECT_EQ(readFile(QDir(folder).filePath("IMG.JPG")) + readFile(cam->photos[2].storedPath), data[0] + "third");
    EXPECT_TRUE(pendingFiles().isEmpty());
    EXPECT_EQ(monitor->store().previews().bytes(1), data[0]) << "read back from the capture folder now";
}

// The next run removes interrupted writes, leaves files it cannot read alone, stores each photo
// once (one stored before the end is not stored again), tells how many once they are all in, and
// lists none of them. Another instance finds the folder locked.
TEST_F(MonitorStorage, PendingPhotosOfAnEarlierRunAreStoredOnceAndTold)
{
    monitor = makeMonitor(true);
    for (const char *bytes : { "one", "two", "three" })
        monitor->handleFile("a.png", bytes, *cam);
    ASSERT_TRUE(settled(true));
    monitor.reset();
    for (const char *name : { ".tmp-interrupted", "9-broken.pending" }) {
        QFile f(QDir(pendingDir).filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("HALVANE-PENDING 1\n{}\n") > 0);
    }
    // The first was stored as a.png, and its note names it: the run stopped before removing it.
    QFile storedBefore(QDir(folder).filePath("a.png")), note(QDir(pendingDir).filePath(pendingFiles()[0] + ".stored"));
    ASSERT_TRUE(storedBefore.open(QIODevice::WriteOnly) && storedBefore.write("one") == 3);
    ASSERT_TRUE(note.open(QIODevice::WriteOnly) && note.write(QFile::encodeName(storedBefore.fileName()) + '\0') > 0);
    storedBefore.close();
    note.close();
    QSettings(root.filePath("s"), QSettings::IniFormat).setValue(Monitor::kFolderKey, folder);

    IngestLog log;
    monitor = makeMonitor(true);
    cam->photos.clear();
    QSignalSpy told(&monitor->store(), &PhotoStore::recovered);
    ASSERT_TRUE(told.wait(10000) && settled(true));
    EXPECT_EQ(told.first(), QVariantList({2, folder}));
    EXPECT_TRUE(monitor->recoveredCount() == 2 && cam->photos.isEmpty());
    EXPECT_EQ(files(), QStringList({"a-1.png", "a-2.png", "a.png"}));
    EXPECT_EQ(readFile(QDir(folder).filePath("a-1.png")) + readFile(QDir(folder).filePath("a-2.png")), "twothree");
    EXPECT_EQ(QDir(pendingDir).entryList(QDir::Files | QDir::Hidden, QDir::Name), QStringList({".lock", "9-broken.pending"}));
    EXPECT_EQ(log.lines.filter("not complete pending photos").size(), 1);
    monitor->dismissRecovered();
    EXPECT_EQ(monitor->recoveredCount(), 0);
    EXPECT_TRUE(makeMonitor(true)->store().pendingFolder().isEmpty());
}

// A pending copy stopped after each of its steps (the process killed there) leaves what the next
// run needs to store the photo exactly once. Its pending file reads back though the wire allows a
// 65,535-byte name and a hello a camera name of any length, and is written without a no-replace
// rename (NFS, eCryptfs), since pending names are unique.
TEST(PendingFolder, AMoveStoppedAtAnyStepStoresThePhotoOnce)
{
    posix::renameFault = [](const char *) { return EINVAL; };
    const auto reset = qScopeGuard([] { posix::renameFault = nullptr; });
    const QString name = QString(65531, 'n') + ".JPG";
    for (const pending::Step stop : { pending::Step::Noted, pending::Step::Stored, pending::Step::Removed }) {
        QTemporaryDir root;
        const QString pendingDir = root.filePath("p"), folder = root.filePath("c");
        ASSERT_TRUE(QDir().mkpath(pendingDir) && QDir().mkpath(folder));
        const auto kept = pending::write(pendingDir, { QUuid::createUuid(), name, QString(70000, 'c'), {} }, "photo");
        ASSERT_TRUE(kept.photo);
        const pid_t child = ::fork();
        if (child == 0) {
            (void)pending::moveInto(folder, *kept.photo, [stop](pending::Step s) { s == stop ? ::_exit(0) : void(); });
            ::_exit(1);
        }
        int status = -1;
        ASSERT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        PhotoStore store;
        store.setFolder(folder);
        store.setPendingFolder(pendingDir);
        ASSERT_TRUE(QTest::qWaitFor([&] { return store.writesInFlight() == 0 && QDir(pendingDir).isEmpty(QDir::Files); }, 10000));
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList { capture::safeFileName(name) }) << int(stop);
        EXPECT_EQ(readFile(QDir(folder).filePath(capture::safeFileName(name))), "photo");
    }
}

// A folder whose file system refuses names (FAT and exFAT disks refuse ":" or "?" with ENOENT,
// others with EILSEQ) stores them under their portable form, numbered as usual. A name refused in
// every form keeps its photo in the pending folder, holding up no other and not written again.
TEST(PhotoStore, RefusedNamesAreMadePortableAndNeverHoldUpTheOthers)
{
    static int refusals = 0;
    posix::renameFault = [](const char *to) {
        const QByteArray name(to);
        return name.contains("never") ? (++refusals, EILSEQ) : name.contains(':') || name.contains('?') || name.endsWith('.') ? ENOENT : 0;
    };
    const auto reset = qScopeGuard([] { posix::renameFault = nullptr; });
    QTemporaryDir root;
    const QString folder = root.filePath("c");
    PhotoStore store(20);
    store.setPendingFolder(root.filePath("p"));
    CapturedPhoto photos[6];
    int added = 0;
    const auto add = [&](const char *name) {
        photos[added].filename = name;
        store.add({}, {}, photos[added++], "x");
    };
    for (const char *name : { "never.jpg", "12:30:01.jpg", "toma?1.jpg", "fin. .", "12:30:01.jpg" })
        add(name);
    ASSERT_TRUE(QTest::qWaitFor([&] { return store.writesInFlight() == 0; }, 10000) && QDir().mkpath(folder));
    store.setFolder(folder);
    store.writeWaiting();
    const auto stored = [&](int n) {
        return QTest::qWaitFor([&] { return QDir(folder).entryList(QDir::Files).size() == n && store.writesInFlight() == 0; }, 10000);
    };
    ASSERT_TRUE(stored(4));
    add("DSCF0001.JPG");
    ASSERT_TRUE(stored(5));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList({ "12_30_01-1.jpg", "12_30_01.jpg", "DSCF0001.JPG", "fin", "toma_1.jpg" }));
    EXPECT_TRUE(refusals == 2 && store.waitingCount() == 1 && !store.folderFailing()) << refusals;
    EXPECT_EQ(capture::portableFileName("a<b>|\"*.jpg. ", 8), "a_b_.jpg") << "cut to what the file system takes";
}

// 200 photos wait in the pending folder when a folder is chosen; new 50 MB photos are stored
// before that backlog is through, and the cameras are not held back meanwhile.
TEST(PhotoStore, NewPhotosPassABacklogWithoutHoldingTheCameras)
{
    QTemporaryDir root;
    const QString folder = root.filePath("c"), pendingDir = root.filePath("p");
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(pendingDir));
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(pending::write(pendingDir, { QUuid::createUuid(), "old.jpg", {}, QDateTime::currentDateTimeUtc() }, "old").photo);
    PhotoStore store;
    QSignalSpy held(&store, &PhotoStore::hold);
    store.setFolder(folder);
    store.setPendingFolder(pendingDir);
    for (int i = 0; i < 3; ++i) {
        CapturedPhoto photo;
        store.add({}, {}, photo, QByteArray(50 << 20, char('a' + i)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return store.previews().unstoredBytes() == 0; }, 10000));
    }
    EXPECT_GT(QDir(pendingDir).entryList({ "*.pending" }, QDir::Files).size(), 100) << "the new photos went first";
    EXPECT_EQ(held.count(), 0);
}

// When the pending folder fails too, photos wait in memory; past the budget the store asks to
// hold the cameras back, and lets go once the pending folder works again and takes them.
TEST(PhotoStore, MemoryPastTheBudgetHoldsTheCamerasUntilThePendingFolderWorks)
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
    EXPECT_TRUE(held.count() == 1 && store.holding());
    ASSERT_TRUE(QDir().mkpath(pendingDir));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store.holding(); }, 10000)) << "the retry tick takes them";
    EXPECT_EQ(held.count(), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return store.memoryOnlyCount() == 0 && store.writesInFlight() == 0; }, 10000));
    const QStringList names = QDir(pendingDir).entryList({"*.pending"}, QDir::Files, QDir::Name);
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(pending::readData(*pending::read(QDir(pendingDir).filePath(names[1]))), "1234567890");
    EXPECT_EQ(log.lines.filter("waits in memory").size(), 1) << "each failure logged once";
}

// Writes never preempt the window's thread when they wake; the window's thread keeps its own
// scheduling.
TEST(StoreWriter, WritesRunAsBatchWork)
{
    StoreWriter writer;
    int policy = -1;
    writer.run<int>([] { return ::sched_getscheduler(0); }, [&](const int &p) { policy = p; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return policy != -1; }, 5000));
    EXPECT_EQ(policy, SCHED_BATCH);
    EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
}
