#include <QDir>
#include <QLoggingCategory>
#include <QMultiHash>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "state/Monitor.h"

namespace {

struct MonitorTest : ::testing::Test, ScratchSettings {
};

} // namespace

// The derived members never point outside the cameras and the active camera's photos: an id
// that names nothing falls back to the first camera and to that camera's newest photo.
TEST_F(MonitorTest, ActiveCameraAndSelectedPhotoFallBack)
{
    Monitor m(settings());
    m.setActiveCameraId(QUuid::createUuid());
    m.setSelectedPhotoId(QUuid::createUuid());
    EXPECT_EQ(m.activeCamera(), nullptr);
    EXPECT_EQ(m.selectedPhoto(), nullptr);
    const auto a = addFakeCamera(m), b = addFakeCamera(m), empty = addFakeCamera(m);
    a->photos.resize(3); // each with an identity of its own
    b->photos.resize(2);
    // The ids set, and the camera and photo they give.
    const std::tuple<QUuid, QUuid, const CameraConnection *, const CapturedPhoto *> cases[] = {
        { QUuid(), QUuid(), a.get(), &a->photos.last() },
        { QUuid::createUuid(), a->photos.first().id(), a.get(), &a->photos.first() },
        { QUuid(), b->photos.first().id(), a.get(), &a->photos.last() }, // another camera's photo
        { b->id(), b->photos.first().id(), b.get(), &b->photos.first() },
        { b->id(), QUuid(), b.get(), &b->photos.last() },
        { empty->id(), b->photos.first().id(), empty.get(), nullptr },
    };
    for (const auto &[active, selected, camera, photo] : cases) {
        m.setActiveCameraId(active);
        m.setSelectedPhotoId(selected);
        EXPECT_EQ(m.activeCamera(), camera);
        EXPECT_EQ(m.selectedPhoto(), photo);
    }
}

TEST_F(MonitorTest, EveryPublishedAssignmentNotifiesAfterTheChange)
{
    Monitor m(settings());
    bool sawNewValue = false;
    QObject::connect(&m, &Monitor::objectWillChange, [&] { sawNewValue = m.directorModeOn(); });
    QSignalSpy spy(&m, &Monitor::objectWillChange);
    m.setDirectorModeOn(true);
    EXPECT_TRUE(sawNewValue);
    m.setCameraPopoverOpen(true);
    m.setListening(true);
    m.setActiveCameraId(QUuid::createUuid());
    m.setSelectedPhotoId(QUuid::createUuid());
    addFakeCamera(m);
    m.setFolder(dir.path());
    EXPECT_EQ(spy.count(), 7);
    EXPECT_TRUE(m.setProperty("cameraPopoverOpen", false)) << "QML writes the popover flag";
    EXPECT_TRUE(!m.cameraPopoverOpen() && spy.count() == 8);
}

TEST_F(MonitorTest, FolderIsPersistedRestoredOnlyWhenItExistsAndNeverRewritten)
{
    const QString capture = dir.filePath(QStringLiteral("Sesión 1"));
    ASSERT_TRUE(QDir().mkpath(capture));
    Monitor(settings()).setFolder(capture);
    EXPECT_EQ(settings()->value(Monitor::kFolderKey).toString(), capture);
    Monitor restored(settings());
    EXPECT_EQ(restored.folder(), capture);
    EXPECT_EQ(restored.folderName(), QStringLiteral("Sesión 1"));
    restored.setFolder(QString());
    EXPECT_EQ(restored.folderName(), kMissing);
    EXPECT_FALSE(settings()->contains(Monitor::kFolderKey));

    for (const QString &stored : { dir.filePath(QStringLiteral("gone")), dir.path() + QStringLiteral("/") }) {
        settings()->setValue(Monitor::kFolderKey, stored);
        const Monitor m(settings());
        const bool exists = QFileInfo::exists(stored);
        EXPECT_EQ(m.folderName(), exists ? QDir(dir.path()).dirName() : kMissing) << stored.toStdString();
        EXPECT_EQ(m.folder().isEmpty(), !exists);
        EXPECT_EQ(settings()->value(Monitor::kFolderKey).toString(), stored) << "the entry stays as it was";
    }
}

// One logging category per subsystem: after storage, metadata and the link have logged, each
// name belongs to one category object, and debug output is off by default.
TEST_F(MonitorTest, LoggingHasOneCategoryPerSubsystem)
{
    Monitor monitor(settings());
    auto cam = addFakeCamera(monitor);
    monitor.handleFile(QStringLiteral("a.jpg"), QByteArray("not an image"), *cam); // no folder: warns
    (void)Monitor::buildPhoto(QStringLiteral("b.cr3"), QByteArray(64, '\x01'));
    static QMultiHash<QString, const QLoggingCategory *> seen;
    seen.clear();
    QLoggingCategory::installFilter(QLoggingCategory::installFilter([](QLoggingCategory *c) {
        if (QString::fromLatin1(c->categoryName()).startsWith(QLatin1String("halvane")))
            seen.insert(QString::fromLatin1(c->categoryName()), c);
    }));
    EXPECT_TRUE(seen.contains(QStringLiteral("halvane.ingest")));
    for (const QString &name : seen.uniqueKeys()) {
        EXPECT_EQ(seen.values(name).size(), 1) << name.toStdString();
        EXPECT_TRUE(QStringList({ "halvane.link", "halvane.ingest", "halvane.ui" }).contains(name))
            << name.toStdString();
    }
    for (const QLoggingCategory *c : std::as_const(seen))
        EXPECT_TRUE(!c->isDebugEnabled() && c->isInfoEnabled()) << c->categoryName();
}

TEST(Records, IdentityIsFreshPerRecordAndKeptByCopies)
{
    CapturedPhoto a, b;
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(CapturedPhoto(a).id(), a.id());
    CameraConnection x(nullptr), y(nullptr);
    EXPECT_FALSE(x == y);
    EXPECT_TRUE(x == x);
}
