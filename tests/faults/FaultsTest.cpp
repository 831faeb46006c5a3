// Faults injected end to end: the application core (halvane-testhost) with its real listener,
// read loop and storage, and bridges that die, lie, stall or flood, while the capture folder
// misbehaves. Nothing received completely may be lost, nothing partial may be left, and the
// application must go on serving the bridges that behave.

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QTimer>

#include <csignal>

#include "Frames.h"
#include "HostHarness.h"
#include "SampleFiles.h"
#include "ingest/CaptureStorage.h"
#include "ingest/PendingFolder.h"
#include "link/ServiceAdvertiser.h"

namespace {

class Faults : public HostTest
{
protected:
    // Sends `count` photos from a fresh simulator and returns their hashes once it has exited.
    QStringList sendPhotos(int count, const QStringList &more = {"--prerendered", "--photo-size", "1200x800"})
    {
        LineProcess &b = bridge(QStringList{"--photos", QString::number(count), "--interval-ms", "20",
                                            "--exit-after-photos", QString::number(count)} + more);
        EXPECT_TRUE(b.waitForExit(60000));
        EXPECT_EQ(sentHashes(b).size(), count);
        return sentHashes(b);
    }
    qint64 hostMemoryKiB() const { return residentKiB(host.process.processId()); }
};

// 500 bridges die in the middle of a frame, cut off by the test at a random byte of their last
// frame (half with an orderly close, half with a reset); simulators killed while they stream photos
// and live view are the load test's. Photos that arrived whole are stored, nothing partial is
// left, every record ends lost, and the application still takes new bridges.
TEST_F(Faults, BridgesKilledMidFrameLeaveNothingPartial)
{
    ASSERT_NE(startHost(), 0);
    auto *rng = QRandomGenerator::global();
    constexpr int kCut = 500;
    QStringList whole; // hashes of the files sent completely
    for (int cut = 0; cut < kCut; cut += 20) {
        std::vector<std::unique_ptr<RawPeer>> batch;
        for (int i = 0; i < 20; ++i)
            batch.push_back(std::make_unique<RawPeer>(port));
        for (auto &peer : batch) {
            ASSERT_TRUE(peer->waitConnected());
            for (int k = int(rng->bounded(3)); k > 0; --k) // up to two whole photos, then a frame cut short
                peer->write(randomFileFrame("WHOLE.JPG", 1 + int(rng->bounded(20000)), &whole));
            const QByteArray victims[] = {frames::helloFrame("Cortada"), frames::frame(frames::LiveView, QByteArray(3000, 'l')),
                                          randomFileFrame("CUT.JPG", 1 + int(rng->bounded(30000)))};
            const QByteArray &victim = victims[rng->bounded(3)];
            peer->write(victim.left(qsizetype(rng->bounded(quint32(victim.size())))));
            ASSERT_TRUE(QTest::qWaitFor([&] { return peer->bytesToWrite() == 0; }, 10000)); // all sent
            rng->bounded(2) ? peer->closeWithReset() : peer->disconnectFromHost();
        }
        ASSERT_TRUE(host.waitFor([&](const Host &h) { return h.cameras().size() >= cut + 20; }, 30000));
    }
    ASSERT_TRUE(host.waitFor([](const Host &h) { return h.allLost(kCut); }, 60000))
        << "not every record ended lost";
    // Every photo received is written (writes may finish after the records appear).
    ASSERT_TRUE(host.waitFor([&](const Host &h) { return h.storedPaths().size() == whole.size(); }, 60000));
    EXPECT_EQ(host.photoCount(), whole.size());
    EXPECT_EQ(folderHashes(capture).size(), whole.size());
    expectOnlyCompleteFiles(whole);
    EXPECT_EQ(host.matches("(name=Cortada)$").size(), 0); // a cut hello is never applied

    RawPeer fresh(port);
    ASSERT_TRUE(fresh.waitConnected());
    fresh.write(randomFileFrame("AFTER.JPG", 5000, &whole));
    const auto arrived = [&](const Host &) { return folderHashes(capture).values().contains(whole.last()); };
    EXPECT_TRUE(host.waitFor(arrived));
}

// Hostile peers beside two well-behaved cameras: one sends garbage, one announces a 4 GiB file and
// goes silent, one trickles a photo byte by byte, one sends a wrong magic and then floods. The good
// cameras' photos all arrive byte-identical and the application's memory stays flat.
TEST_F(Faults, HostilePeersLeaveOthersAndMemoryAlone)
{
    ASSERT_NE(startHost(), 0);
    const qint64 rssBefore = hostMemoryKiB();
    ASSERT_GT(rssBefore, 0);
    LineProcess &garbage = bridge({"--name", "Basura", "--malformed", "garbage"});
    LineProcess &huge = bridge({"--name", "Enorme", "--malformed", "huge-header"});
    ASSERT_TRUE(garbage.waitForLine("^sent-hello 1 Basura \\(after\\)$").hasMatch());
    ASSERT_TRUE(huge.waitForLine("^malformed 1 huge-header$").hasMatch());
    // The trickler: one photo, a byte every 5 ms, for as long as everything else runs.
    RawPeer trickle(port);
    ASSERT_TRUE(trickle.waitConnected());
    QStringList expected;
    const QByteArray trickleFrame = randomFileFrame("TRICKLE.RAF", 600, &expected);
    qsizetype trickled = 0;
    QTimer trickleTimer;
    QObject::connect(&trickleTimer, &QTimer::timeout, [&] { trickle.write(trickleFrame.mid(trickled++, 1)); });
    trickleTimer.start(5);
    LineProcess &good = bridge({"--cameras", "2", "--name", "Buena", "--photos", "6", "--interval-ms", "150", "--photo-size",
                                "1600x1066", "--live-fps", "10", "--live-size", "640x426", "--exit-after-photos", "6"});
    // The flood: a wrong magic, then 200 MB as fast as the application takes them, keeping at most
    // a few MiB queued in the test; it stops when the kernel takes nothing more for 2 s.
    RawPeer flood(port);
    ASSERT_TRUE(flood.waitConnected());
    QByteArray badHeader = frames::header(frames::File, 1000);
    std::swap(badHeader[0], badHeader[1]);
    flood.write(badHeader);
    constexpr qint64 kFlood = 200LL << 20;
    const QByteArray block(1 << 20, 'F');
    qint64 queued = badHeader.size();
    while (queued < kFlood && QTest::qWaitFor([&] { return flood.bytesToWrite() < 4 * block.size(); }, 2000)) {
        flood.write(block);
        queued += block.size();
    }
    const qint64 delivered = queued - flood.bytesToWrite();

    ASSERT_TRUE(good.waitForExit(120000));
    expected += sentHashes(good);
    ASSERT_EQ(expected.size(), 13);
    ASSERT_TRUE(host.waitFor([](const Host &h) { return h.storedPaths().size() == 13; }, 60000))
        << host.storedPaths().size() << " stored";
    expectOnlyCompleteFiles(expected);
    EXPECT_EQ(folderHashes(capture).size(), 13);
    // The broken streams were read no further (their trailing hellos never applied) but their
    // connections are open, so they still show as receiving; the good cameras have gone.
    const QList<Host::Camera> cameras = host.cameras();
    ASSERT_EQ(cameras.size(), 6);
    for (const Host::Camera &cam : cameras) {
        EXPECT_FALSE(cam.name.endsWith("(after)")) << cam.name.toStdString();
        EXPECT_TRUE(cam.name.startsWith("Buena") || cam.status == "receiving") << cam.name.toStdString();
    }
    // A stopped connection handles nothing more but drains what it is sent (so that its close is
    // seen): the flood goes through without being kept. The bound is far below the 200 MB a reader
    // that kept what it read would hold.
    EXPECT_GE(delivered, kFlood - 4 * block.size());
    EXPECT_LT(hostMemoryKiB() - rssBefore, 160 * 1024);
}

// Eight peers each declare a photo of 900 MiB and send as fast as the application takes it,
// never finishing; a camera beside them sends ordinary photos. The peers hold the share for
// content being received and no more: the camera's photos are all stored, and the application's
// peak memory stays far below what the peers sent.
TEST_F(Faults, PeersThatNeverFinishTheirFilesHoldTheirShareAndNoMore)
{
    ASSERT_NE(startHost(), 0);
    const qint64 rssBefore = hostMemoryKiB();
    std::vector<std::unique_ptr<RawPeer>> peers;
    const QByteArray block(1 << 20, 'H');
    for (int i = 0; i < 8; ++i) {
        peers.push_back(std::make_unique<RawPeer>(port));
        ASSERT_TRUE(peers.back()->waitConnected());
        peers.back()->write(frames::header(frames::File, 900u << 20) + QByteArray("\x05\0h.raw", 7));
    }
    // Until the kernel takes nothing more from any of them for 2 s, at most 64 MiB each.
    qint64 sent = 0;
    for (bool moved = true; moved;) {
        moved = false;
        for (auto &peer : peers) {
            if (peer->bytesToWrite() < 2 * block.size() && peer->property("sent").toLongLong() < (64 << 20)) {
                peer->write(block);
                peer->setProperty("sent", peer->property("sent").toLongLong() + block.size());
                sent += block.size();
                moved = true;
            }
        }
        if (!moved)
            moved = QTest::qWaitFor([&] {
                return std::any_of(peers.begin(), peers.end(), [&](const auto &p) {
                    return p->bytesToWrite() < 2 * block.size() && p->property("sent").toLongLong() < (64 << 20);
                });
            }, 2000);
    }
    LineProcess &good = bridge({"--name", "Buena", "--photos", "4", "--interval-ms", "100", "--photo-size", "2400x1600",
                                "--exit-after-photos", "4"});
    ASSERT_TRUE(good.waitForExit(60000));
    ASSERT_EQ(sentHashes(good).size(), 4);
    ASSERT_TRUE(host.waitFor([](const Host &h) { return h.storedPaths().size() == 4; }, 60000));
    expectOnlyCompleteFiles(sentHashes(good));
    EXPECT_GT(sent, qint64(128) << 20) << "the peers must have pushed more than their share";
    EXPECT_LT(residentKiB(host.process.processId(), "VmHWM") - rssBefore, 200 * 1024);
}

// Valid live-view frames of about 1 MB, far faster than the main thread decodes them. The
// application must not hold the backlog: the bridge is held back instead.
TEST_F(Faults, LiveViewFloodIsHeldBackNotBuffered)
{
    ASSERT_NE(startHost(), 0);
    const qint64 rssBefore = hostMemoryKiB();
    QImage noise(1200, 800, QImage::Format_RGB32);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(noise.bits()), int(noise.sizeInBytes() / 4));
    const QByteArray frame = frames::frame(frames::LiveView, SampleFiles::encode(noise, "jpeg", 95));
    ASSERT_GT(frame.size(), 1 << 19);
    RawPeer flood(port);
    ASSERT_TRUE(flood.waitConnected());
    qint64 queued = 0, peakGrowth = 0;
    const QDeadlineTimer limit(8000);
    const auto drained = [&] { return flood.bytesToWrite() < 8 * frame.size(); };
    while (queued < (200LL << 20) && QTest::qWaitFor(drained, int(limit.remainingTime()))) {
        flood.write(frame);
        queued += frame.size();
        peakGrowth = std::max(peakGrowth, hostMemoryKiB() - rssBefore);
    }
    flood.closeWithReset();
    ASSERT_TRUE(host.waitFor([](const Host &h) { return h.allLost(1); }, 120000));
    EXPECT_LT(peakGrowth, 128 * 1024) << "the host buffered the backlog";
}

// The capture folder turns read-only, is removed (then comes back with or without a photo
// arriving after it), or its disk fills, each on a small file system of its own. Photos are kept
// in memory, nothing partial is left behind, and they are written once the folder works again.
TEST_F(Faults, StorageFailuresKeepPhotosUntilTheFolderWorksAgain)
{
    enum Fault { ReadOnly, Removed, RemovedAndQuiet, Full };
    for (const Fault fault : {ReadOnly, Removed, RemovedAndQuiet, Full}) {
        SCOPED_TRACE(fault);
        capture = dir.filePath(QStringLiteral("capture-%1").arg(fault));
        const bool removed = fault == Removed || fault == RemovedAndQuiet;
        const auto mount = [&](const QString &options) { return QProcess::execute("mount", {"-o", options, capture}) == 0; };
        ASSERT_TRUE(QDir().mkpath(capture));
        if (!removed) {
            mounts.append(capture);
            const QString size = fault == Full ? "size=8m" : "size=64m";
            ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", size, "faults", capture}), 0);
        }
        ASSERT_NE(startHost(), 0);
        ASSERT_TRUE(fault == Full || (fault == ReadOnly ? mount("remount,ro") : QDir(capture).removeRecursively()));
        // Eight files of 1.5 MB of random bytes fill the 8 MB after four or five.
        const QString files = dir.filePath("files");
        for (int i = 0; fault == Full && i < 8; ++i) {
            QFile f(QDir(files).filePath(QString::number(i)));
            QByteArray bytes(1536 * 1024, Qt::Uninitialized);
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
            ASSERT_TRUE(QDir().mkpath(files) && f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        }
        QStringList sent = fault == Full ? sendPhotos(8, {"--folder", files}) : sendPhotos(3);
        // Until each has been written or failed once, nothing is certain.
        ASSERT_TRUE(host.waitFor([&](const Host &h) {
            return h.storedPaths().size() + h.matches("^(unsaved) ").size() >= sent.size();
        }, 60000));
        const qsizetype storedWhileBroken = host.storedPaths().size();
        EXPECT_TRUE(fault == Full ? storedWhileBroken < 8 : storedWhileBroken == 0) << storedWhileBroken << " stored";
        EXPECT_EQ(folderHashes(capture).size(), storedWhileBroken);
        expectOnlyCompleteFiles(sent);
        EXPECT_NE(QDir(capture).exists(), removed); // never recreated behind the user's back
        ASSERT_TRUE(removed ? QDir().mkpath(capture) : mount(fault == Full ? "remount,size=128m" : "remount,rw"));
        if (fault != RemovedAndQuiet) // without a photo to set it off, the retry writes them
            sent += sendPhotos(1);
        // Every photo is stored, once and whole, where its record says; nothing else is.
        const auto allStored = [&](const Host &h) { return h.storedPaths().size() == sent.size(); };
        ASSERT_TRUE(host.waitFor(allStored, 60000));
        expectOnlyCompleteFiles(sent);
        EXPECT_EQ(folderHashes(capture).size(), sent.size());
        for (const QString &path : host.storedPaths())
            EXPECT_TRUE(sent.contains(folderHashes(capture).value(QFileInfo(path).fileName())))
                << qPrintable(path);
        host.stop();
    }
}

// The application is killed in the middle of writing a photo. The temporary file it leaves is
// removed when it starts again with the same folder; every photo it had stored is intact.
TEST_F(Faults, KilledWhileWritingLeavesNoTemporaryFileOnceStartedAgain)
{
    ASSERT_NE(startHost(), 0);
    const auto temporaries = [this] {
        QStringList found = QDir(capture).entryList(QDir::Files | QDir::Hidden | QDir::System);
        found.removeIf([](const QString &e) { return !capture::isTemporaryName(QFile::encodeName(e)); });
        return found;
    };
    // Large photos back to back keep the writer busy: a temporary file is there most of the time.
    RawPeer peer(port);
    ASSERT_TRUE(peer.waitConnected());
    QStringList sent;
    for (int i = 0; i < 16; ++i)
        peer.write(randomFileFrame("BIG.RAF", 4 << 20, &sent));
    // Caught with a file half-way: frozen first, so that what is seen is what the kill leaves.
    const auto pid = pid_t(host.process.processId());
    QStringList left;
    for (int attempt = 0; attempt < 50 && left.isEmpty(); ++attempt) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !temporaries().isEmpty(); }, 30000)) << "no write under way";
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            return stat.open(QIODevice::ReadOnly) && stat.readAll().split(' ').value(2) == "T";
        }, 5000));
        if ((left = temporaries()).isEmpty())
            ::kill(pid, SIGCONT);
    }
    ASSERT_FALSE(left.isEmpty());
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(host.waitForExit());
    const qsizetype storedBefore = host.storedPaths().size();
    ASSERT_LT(storedBefore, sent.size());
    ASSERT_NE(startHost(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return temporaries().isEmpty(); }, 10000)) << temporaries().join(' ').toStdString();
    expectOnlyCompleteFiles(sent);
    EXPECT_GE(folderHashes(capture).size(), storedBefore);
}

// The application is killed 54 times at random moments: while photos arrive with the capture
// folder missing and are written into the pending folder, and while, the capture folder back, a
// restarted application moves them into it. Every photo that was whole on disk at a kill (in a
// complete pending file or in the capture folder) ends up in the capture folder exactly once and
// byte-identical; nothing partial or temporary is left in either folder.
TEST_F(Faults, KilledWhilePhotosArePendingOrMovingLosesNone)
{
    const QString pendingDir = dir.filePath("pending"), settings = dir.filePath("settings.ini");
    const auto pendingFiles = [&] { return QDir(pendingDir).entryList({"*.pending"}, QDir::Files); };
    const auto temporaries = [&] {
        return QDir(pendingDir).entryList({".tmp-*"}, QDir::Files | QDir::Hidden);
    };
    const auto storedCount = [&] { return QDir(capture).entryList(QDir::Files).size(); };
    auto *rng = QRandomGenerator::global();
    QStringList sent;
    QSet<QString> whole; // photos complete on disk at a kill
    // Polled without a pause, so that the kill can fall between any two steps of the host.
    const auto killWhen = [&](const std::function<bool()> &moment) {
        const QDeadlineTimer limit(30000);
        while (!moment() && !limit.hasExpired())
            QCoreApplication::processEvents();
        host.stop();
        for (const QString &name : pendingFiles()) {
            const std::optional<pending::Photo> photo = pending::read(QDir(pendingDir).filePath(name));
            if (!photo)
                ADD_FAILURE() << "an incomplete pending file " << name.toStdString();
            else
                whole.insert(
                    QCryptographicHash::hash(pending::readData(*photo), QCryptographicHash::Sha256).toHex());
        }
        const QMap<QString, QString> stored = folderHashes(capture);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            if (!it.key().startsWith('.')) // not a temporary file
                whole.insert(it.value());
        return !limit.hasExpired();
    };
    for (int round = 0; round < 54; ++round) {
        // By name: a start may remove a pending file whose copy its note names.
        const QStringList pendingBefore = pendingFiles();
        const qsizetype storedBefore = storedCount();
        if (round % 3 == 2) { // killed after a random number of photos moved, or once all are
            const qsizetype k = rng->bounded(int(pendingBefore.size()) + 1);
            host.LineProcess::start(qEnvironmentVariable("HALVANE_TESTHOST"),
                                    {settings, capture, pendingDir});
            ASSERT_TRUE(host.process.waitForStarted());
            ASSERT_TRUE(killWhen([&] {
                return storedCount() >= storedBefore + k || pendingFiles().isEmpty();
            }));
            continue;
        }
        // Killed once a random number of bytes is sent and of photos is pending, or while the
        // photo after a random number of them is being written into the pending folder.
        ASSERT_NE(port = host.start(settings, dir.filePath("missing"), pendingDir), 0);
        RawPeer peer(port);
        ASSERT_TRUE(peer.waitConnected());
        const int count = 1 + int(rng->bounded(2)), k = int(rng->bounded(count + 1));
        const bool midWrite = k < count && rng->bounded(2);
        QByteArray photos;
        for (int i = 0; i < count; ++i)
            photos += randomFileFrame("IMG.RAF", 150000 + int(rng->bounded(1500000)), &sent);
        const qint64 cut = rng->bounded(int(photos.size()));
        peer.write(photos);
        ASSERT_TRUE(killWhen([&] {
            const qsizetype done = std::ranges::count_if(pendingFiles(), [&](const QString &n) { return !pendingBefore.contains(n); });
            return midWrite ? done > k || (done == k && !temporaries().isEmpty())
                            : photos.size() - peer.bytesToWrite() >= cut && done >= k;
        })) << "round " << round << ": the moment never came";
    }
    ASSERT_NE(startHost(pendingDir), 0);
    RawPeer last(port);
    ASSERT_TRUE(last.waitConnected());
    last.write(randomFileFrame("IMG.RAF", 300000, &sent));
    ASSERT_TRUE(host.waitFor([&](const Host &h) {
        return h.storedPaths().size() == 1 && pendingFiles().isEmpty();
    }));
    expectOnlyCompleteFiles(sent);
    const QStringList stored = folderHashes(capture).values();
    for (const QString &hash : whole)
        EXPECT_TRUE(stored.contains(hash)) << "lost: a photo that was whole on disk at a kill";
    EXPECT_TRUE(temporaries().isEmpty());
}

// The capture folder's and the pending folder's disks are both full and the memory budget is
// 8 MiB: past it the host stops reading photo content and the bridge is held back by the
// network, so the host's memory stays bounded. Once the disks have room again every photo is
// stored once and whole, and photo content is taken again.
TEST_F(Faults, BothFoldersFullHoldTheBridgeBackUntilThereIsRoom)
{
    const QString pendingDir = dir.filePath("pending");
    for (const QString &fs : {capture, pendingDir}) {
        ASSERT_TRUE(QDir().mkpath(fs));
        mounts.append(fs);
        ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=4m", "faults", fs}), 0);
    }
    qputenv("HALVANE_TESTHOST_MEMORY_BUDGET", QByteArray::number(8 << 20));
    const auto unset = qScopeGuard([] { qunsetenv("HALVANE_TESTHOST_MEMORY_BUDGET"); });
    ASSERT_NE(startHost(pendingDir), 0);
    const qint64 rssBefore = hostMemoryKiB();
    RawPeer peer(port);
    ASSERT_TRUE(peer.waitConnected());
    QStringList sent;
    constexpr int kPhotos = 64; // 1 MiB each: a few fit on each disk and eight in memory
    for (int i = 0; i < kPhotos; ++i)
        peer.write(randomFileFrame("FULL.RAF", 1 << 20, &sent));
    ASSERT_TRUE(host.waitForLine("^hold 1$", 0, 60000).hasMatch());
    // Held: the bridge keeps most of what it has to send and the host takes in no more photos.
    const int received = host.photoCount();
    EXPECT_FALSE(QTest::qWaitFor([&] {
        return peer.bytesToWrite() < (16 << 20) || host.photoCount() > received + 1;
    }, 3000));
    EXPECT_LT(residentKiB(host.process.processId(), "VmHWM") - rssBefore, 48 * 1024);
    for (const QString &fs : {capture, pendingDir})
        ASSERT_EQ(QProcess::execute("mount", {"-o", "remount,size=256m", fs}), 0);
    ASSERT_TRUE(host.waitFor([&](const Host &h) { return h.storedPaths().size() == kPhotos; }, 60000));
    expectOnlyCompleteFiles(sent);
    EXPECT_EQ(folderHashes(capture).size(), kPhotos);
    EXPECT_EQ(host.matches("^hold (\\d)$").last(), "0");
    EXPECT_TRUE(QDir(pendingDir).entryList({"*.pending"}, QDir::Files).isEmpty());
}

// The DNS-SD daemon starts after the application and a bridge browsing for it, then goes away and
// comes back twice while that bridge is connected: the connection carries on (commands out, photos
// in, never lost) and the service is registered again for new bridges.
TEST_F(Faults, AvahiRestartKeepsConnectedBridges)
{
    ASSERT_NE(startHost(), 0); // no daemon yet: the listener works all the same
    const QString service = ServiceAdvertiser::workstationServiceName();
    LineProcess &cam = bridge({"--service-name", service, "--name", "Fija", "--live-fps", "5", "--live-size",
                               "320x240", "--photo-size", "800x600"});
    startAvahi();
    ASSERT_TRUE(host.waitForLine(registeredLine()).hasMatch());
    ASSERT_TRUE(host.waitForLine("^camera 0 status=receiving .* name=Fija$").hasMatch());
    for (int round = 0; round < 2; ++round) {
        const int from = int(host.lines.size());
        avahi.stop(true);
        ASSERT_TRUE(host.waitForLine("^withdrawn$", from).hasMatch());
        startAvahi();
        ASSERT_TRUE(host.waitForLine(registeredLine(), from).hasMatch());
    }
    host.write("shutter");
    EXPECT_TRUE(arrivesWhole(cam, "IMG_0001.JPG"));
    EXPECT_EQ(host.matches("^camera 0 (status=noSignal)").size(), 0);
    // And the service registered again is found by a bridge that starts browsing now.
    bridge({"--service-name", service, "--name", "Tarde"});
    EXPECT_TRUE(host.waitForLine("^camera 1 status=receiving .* name=Tarde$").hasMatch());
}

} // namespace
