// Many simulated cameras at once, each streaming photos and live view, with bridges that
// disconnect (cleanly, or killed mid-stream) and reconnect. Every photo that was sent completely
// is stored exactly once and byte-identical, nothing is overwritten or left half-written, and
// the figures (photos, longest main-thread stall, memory) are printed.

#include <QDeadlineTimer>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include "HostHarness.h"

namespace {

struct LoadPlan {
    int cameras;
    int photosPerCamera;
    QString photoSize;
    int intervalMs;
    double liveFps;
    QString liveSize;
    int maxSegment; // photos a bridge sends before it disconnects, at most
    double killChance; // chance that a bridge is killed instead of leaving cleanly
    int timeoutMs;
};

LoadPlan planFromEnvironment()
{
    if (qEnvironmentVariable("HALVANE_LOAD_FULL") == QLatin1String("1"))
        return {16, 100, QStringLiteral("6000x4000"), 2000, 15, QStringLiteral("640x426"), 40, 0.3, 3'600'000};
    return {4, 10, QStringLiteral("3000x2000"), 250, 15, QStringLiteral("640x426"), 6, 0.3, 600'000};
}

QStringList sentHashes(const LineProcess &bridge)
{
    static const QRegularExpression re(QStringLiteral("^sent-photo \\d+ \\d+ ([0-9a-f]{64}) "));
    QStringList out;
    for (const QString &line : bridge.lines()) {
        if (auto m = re.match(line); m.hasMatch())
            out.append(m.captured(1));
    }
    return out;
}

// One camera: a succession of bridge processes until it has sent its photos.
struct Slot {
    int index = 0;
    int sent = 0;
    LineProcess *bridge = nullptr;
    bool killIt = false;
    int killAfterMs = 0; // counted from the connection
    QDeadlineTimer killAt{QDeadlineTimer::Forever};
    bool wasKilled = false;
    int connections = 0;
};

TEST(Load, ManyCamerasWithLiveViewAndReconnects)
{
    ASSERT_TRUE(insideTestNamespace()) << "run through scripts/netns-run";
    const LoadPlan plan = planFromEnvironment();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString capture = dir.filePath(QStringLiteral("capture"));
    ASSERT_TRUE(QDir().mkpath(capture));

    Host host;
    const quint16 port = host.start(dir.filePath(QStringLiteral("settings.ini")), capture);
    ASSERT_NE(port, 0) << host.process().transcript().toStdString();

    auto *rng = QRandomGenerator::global();
    std::vector<std::unique_ptr<LineProcess>> bridges;
    std::vector<Slot> cameraSlots(size_t(plan.cameras));
    for (int i = 0; i < plan.cameras; ++i)
        cameraSlots[size_t(i)].index = i + 1;
    QStringList cleanSent; // from bridges that left cleanly: every one must be stored
    QStringList killedSent; // from killed bridges: may or may not have arrived whole
    int kills = 0;

    const auto launch = [&](Slot &slot) {
        const int count = qMin(plan.photosPerCamera - slot.sent, 1 + int(rng->bounded(plan.maxSegment)));
        bridges.push_back(std::make_unique<LineProcess>(QStringLiteral("camera %1.%2").arg(slot.index).arg(slot.connections)));
        slot.bridge = bridges.back().get();
        slot.bridge->start(bridgeProgram(), {
            QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(port),
            QStringLiteral("--name"), QStringLiteral("Carga %1").arg(slot.index), QStringLiteral("--prerendered"),
            QStringLiteral("--photos"), QString::number(count), QStringLiteral("--interval-ms"), QString::number(plan.intervalMs),
            QStringLiteral("--photo-size"), plan.photoSize, QStringLiteral("--live-fps"), QString::number(plan.liveFps),
            QStringLiteral("--live-size"), plan.liveSize, QStringLiteral("--exit-after-photos"), QString::number(count)});
        ++slot.connections;
        slot.killIt = rng->generateDouble() < plan.killChance;
        slot.wasKilled = false;
        // Somewhere inside its run once connected: often while a photo is on the wire.
        slot.killAfterMs = int(rng->bounded(100, 500 + count * plan.intervalMs));
        slot.killAt = QDeadlineTimer(QDeadlineTimer::Forever);
    };

    const QDeadlineTimer deadline(plan.timeoutMs);
    bool allDone = false;
    while (!allDone && !deadline.hasExpired()) {
        allDone = true;
        for (Slot &slot : cameraSlots) {
            if (slot.bridge && slot.bridge->process().state() == QProcess::NotRunning) {
                const QStringList sent = sentHashes(*slot.bridge);
                (slot.wasKilled ? killedSent : cleanSent) += sent;
                if (!slot.wasKilled) {
                    EXPECT_GE(slot.bridge->count(QStringLiteral("^exit photos$")), 1) << slot.bridge->transcript().toStdString();
                }
                slot.sent += int(sent.size());
                slot.bridge = nullptr;
            }
            if (slot.bridge && slot.killIt && slot.killAt.isForever() && slot.bridge->count(QStringLiteral("^connected ")) > 0)
                slot.killAt = QDeadlineTimer(slot.killAfterMs);
            if (slot.bridge && slot.killIt && !slot.wasKilled && slot.killAt.hasExpired()) {
                ::kill(pid_t(slot.bridge->process().processId()), SIGKILL);
                slot.wasKilled = true;
                ++kills;
            }
            if (!slot.bridge && slot.sent < plan.photosPerCamera)
                launch(slot);
            allDone = allDone && !slot.bridge && slot.sent >= plan.photosPerCamera;
        }
        QTest::qWait(20);
    }
    ASSERT_TRUE(allDone) << "the cameras did not finish in time";

    // A bridge killed before it connected (while rendering) made no record.
    qsizetype connections = 0;
    for (const auto &b : bridges)
        connections += b->count(QStringLiteral("^connected ")) > 0 ? 1 : 0;
    // Every record's connection has ended, and every photo received has been written.
    ASSERT_TRUE(host.waitFor([&](Host &h) {
        if (h.cameras().size() != connections)
            return false;
        for (const auto &cam : h.cameras()) {
            if (cam.status != QLatin1String("noSignal"))
                return false;
        }
        return h.storedCount() == h.photoCount();
    }, 300000)) << host.storedCount() << " of " << host.photoCount() << " stored; " << host.cameras().size()
                   << " records for " << connections << " connections";

    const double stallMs = host.longestStallMs();
    const qint64 rss = residentKiB(host.pid());
    const qint64 peak = peakResidentKiB(host.pid());

    // Exactly once, byte-identical, nothing hidden or partial.
    for (const QString &entry : folderEntries(capture))
        EXPECT_FALSE(entry.startsWith(QLatin1Char('.'))) << "left behind: " << entry.toStdString();
    const auto files = folderHashes(capture);
    std::map<QString, int> timesStored;
    for (const QString &hash : files)
        ++timesStored[hash];
    int identical = 0;
    for (const auto &[hash, times] : timesStored) {
        EXPECT_EQ(times, 1) << "stored " << times << " times: " << hash.toStdString();
        const bool known = cleanSent.contains(hash) || killedSent.contains(hash);
        EXPECT_TRUE(known) << "a file that no bridge sent whole: " << hash.toStdString();
        identical += known ? 1 : 0;
    }
    int lost = 0;
    for (const QString &hash : cleanSent)
        lost += timesStored.count(hash) == 0 ? 1 : 0;
    EXPECT_EQ(lost, 0) << "photos sent completely but not stored";
    EXPECT_EQ(host.photoCount(), int(files.size())) << "records and files differ";
    // The records point at the files they were written to, each at its own.
    QStringList paths = host.storedPaths();
    paths.removeDuplicates();
    EXPECT_EQ(paths.size(), files.size());

    std::fprintf(stderr,
                 "[load] %d cameras, %d connections (%d killed); photos sent %lld (%lld by bridges that left "
                 "cleanly), received %d, stored %lld, byte-identical %d, lost %d\n"
                 "[load] longest main-thread stall %.1f ms; host memory now %.1f MiB, peak %.1f MiB\n",
                 plan.cameras, int(connections), kills, (long long)(cleanSent.size() + killedSent.size()),
                 (long long)cleanSent.size(), host.photoCount(), (long long)files.size(), identical, lost, stallMs,
                 double(rss) / 1024, double(peak) / 1024);
    EXPECT_GE(stallMs, 0) << "the host did not answer";
    EXPECT_TRUE(host.running());
}

} // namespace
