#include <QDir>
#include <QLoggingCategory>
#include <QMultiHash>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "model/Monitor.h"

namespace {

const QString kDash = QStringLiteral("\u2014");

// Each test gets its own settings file in a temporary directory.
class MonitorTest : public ::testing::Test
{
protected:
    std::unique_ptr<QSettings> freshSettings()
    {
        return std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    }

    std::shared_ptr<CameraConnection> addCamera(Monitor &m, int photos = 0)
    {
        auto cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
        for (int i = 0; i < photos; ++i)
            cam->photos.append(CapturedPhoto());
        m.appendCamera(cam);
        return cam;
    }

    QTemporaryDir m_dir;
};

TEST_F(MonitorTest, StartsEmpty)
{
    ASSERT_TRUE(m_dir.isValid());
    Monitor m(freshSettings());
    EXPECT_TRUE(m.cameras().isEmpty());
    EXPECT_TRUE(m.activeCameraId().isNull());
    EXPECT_TRUE(m.selectedPhotoId().isNull());
    EXPECT_FALSE(m.directorModeOn());
    EXPECT_FALSE(m.cameraPopoverOpen());
    EXPECT_FALSE(m.listening());
    EXPECT_EQ(m.folderName(), kDash);
    EXPECT_TRUE(m.folder().isEmpty());
    EXPECT_EQ(m.activeCamera(), nullptr);
    EXPECT_EQ(m.selectedPhoto(), nullptr);
}

TEST_F(MonitorTest, NoCamerasMeansNoSelectionWhateverTheIdsHold)
{
    Monitor m(freshSettings());
    m.setActiveCameraId(QUuid::createUuid());
    m.setSelectedPhotoId(QUuid::createUuid());
    EXPECT_EQ(m.activeCamera(), nullptr);
    EXPECT_EQ(m.selectedPhoto(), nullptr);
}

TEST_F(MonitorTest, ActiveCameraFallsBackToTheFirst)
{
    Monitor m(freshSettings());
    auto a = addCamera(m);
    auto b = addCamera(m);
    EXPECT_EQ(m.activeCamera(), a.get()); // id absent
    m.setActiveCameraId(QUuid::createUuid());
    EXPECT_EQ(m.activeCamera(), a.get()); // id names no camera
    m.setActiveCameraId(b->id());
    EXPECT_EQ(m.activeCamera(), b.get());
}

TEST_F(MonitorTest, SelectedPhotoFallsBackToTheNewestOfTheActiveCamera)
{
    Monitor m(freshSettings());
    auto a = addCamera(m, 3);
    auto b = addCamera(m, 2);
    EXPECT_EQ(m.selectedPhoto(), &a->photos.last());

    m.setSelectedPhotoId(a->photos.first().id());
    EXPECT_EQ(m.selectedPhoto(), &a->photos.first());

    // A photo of another camera is not the active camera's: newest of the active one shows.
    m.setSelectedPhotoId(b->photos.first().id());
    EXPECT_EQ(m.selectedPhoto(), &a->photos.last());

    m.setActiveCameraId(b->id());
    EXPECT_EQ(m.selectedPhoto(), &b->photos.first());
    m.setSelectedPhotoId(QUuid());
    EXPECT_EQ(m.selectedPhoto(), &b->photos.last());
}

TEST_F(MonitorTest, ActiveCameraWithoutPhotosSelectsNothing)
{
    Monitor m(freshSettings());
    addCamera(m, 0);
    auto other = addCamera(m, 1);
    m.setSelectedPhotoId(other->photos.first().id());
    EXPECT_EQ(m.selectedPhoto(), nullptr);
}

TEST_F(MonitorTest, EveryPublishedAssignmentNotifiesAfterTheChange)
{
    Monitor m(freshSettings());
    bool sawNewValue = false;
    QObject::connect(&m, &Monitor::objectWillChange, [&] { sawNewValue = m.directorModeOn(); });
    QSignalSpy spy(&m, &Monitor::objectWillChange);

    m.setDirectorModeOn(true);
    EXPECT_TRUE(sawNewValue);
    m.setCameraPopoverOpen(true);
    m.setListening(true);
    m.setActiveCameraId(QUuid::createUuid());
    m.setSelectedPhotoId(QUuid::createUuid());
    addCamera(m);
    m.setFolder(m_dir.path());
    EXPECT_EQ(spy.count(), 7);

    // QML writes the popover flag through the property.
    EXPECT_TRUE(m.setProperty("cameraPopoverOpen", false));
    EXPECT_FALSE(m.cameraPopoverOpen());
    EXPECT_EQ(spy.count(), 8);
}

TEST_F(MonitorTest, SettingTheFolderPersistsItAndNamesIt)
{
    const QString capture = m_dir.filePath(QStringLiteral("Sesión 1"));
    ASSERT_TRUE(QDir().mkpath(capture));
    {
        Monitor m(freshSettings());
        m.setFolder(capture);
        EXPECT_EQ(m.folderName(), QStringLiteral("Sesión 1"));
        EXPECT_EQ(freshSettings()->value(Monitor::kFolderKey).toString(), capture);
    }
    Monitor restored(freshSettings());
    EXPECT_EQ(restored.folder(), capture);
    EXPECT_EQ(restored.folderName(), QStringLiteral("Sesión 1"));

    restored.setFolder(QString());
    EXPECT_EQ(restored.folderName(), kDash);
    EXPECT_FALSE(freshSettings()->contains(Monitor::kFolderKey));
}

TEST_F(MonitorTest, MissingStoredFolderIsNotRestoredAndTheEntryStays)
{
    const QString gone = m_dir.filePath(QStringLiteral("gone"));
    freshSettings()->setValue(Monitor::kFolderKey, gone);
    Monitor m(freshSettings());
    EXPECT_TRUE(m.folder().isEmpty());
    EXPECT_EQ(m.folderName(), kDash);
    EXPECT_EQ(freshSettings()->value(Monitor::kFolderKey).toString(), gone);
}

TEST_F(MonitorTest, RestoreDoesNotRewriteTheStoredEntry)
{
    // A stored path with a trailing slash is used as it is and left untouched.
    const QString stored = m_dir.path() + QStringLiteral("/");
    freshSettings()->setValue(Monitor::kFolderKey, stored);
    Monitor m(freshSettings());
    EXPECT_EQ(m.folderName(), QDir(m_dir.path()).dirName());
    EXPECT_EQ(freshSettings()->value(Monitor::kFolderKey).toString(), stored);
}

TEST_F(MonitorTest, NeverSetFolderStaysAbsent)
{
    Monitor m(freshSettings());
    EXPECT_TRUE(m.folder().isEmpty());
    EXPECT_EQ(m.folderName(), kDash);
    EXPECT_FALSE(freshSettings()->contains(Monitor::kFolderKey));
}

TEST_F(MonitorTest, DefaultSettingsAreIsolatedInTestMode)
{
    // The per-user settings the application uses must not be the developer's real ones here.
    Monitor m;
    const QString file = m.settings().fileName();
    EXPECT_TRUE(file.contains(QStringLiteral(".qttest"))) << file.toStdString();
}

} // namespace

// One logging category per subsystem: after storage, metadata and the link have all logged,
// each name belongs to exactly one category object, and debug output is off by default.
TEST_F(MonitorTest, LoggingHasOneCategoryPerSubsystem)
{
    Monitor monitor(freshSettings());
    auto cam = addCamera(monitor);
    monitor.handleFile(QStringLiteral("a.jpg"), QByteArray("not an image"), *cam); // no folder: warns
    (void)Monitor::buildPhoto(QStringLiteral("b.cr3"), QByteArray(64, '\x01')); // libraries complain

    static QMultiHash<QString, const QLoggingCategory *> seen;
    seen.clear();
    const QLoggingCategory::CategoryFilter previous = QLoggingCategory::installFilter([](QLoggingCategory *c) {
        if (QString::fromLatin1(c->categoryName()).startsWith(QLatin1String("halvane")))
            seen.insert(QString::fromLatin1(c->categoryName()), c);
    });
    QLoggingCategory::installFilter(previous);
    const QStringList names = seen.uniqueKeys();
    for (const QString &name : names) {
        EXPECT_EQ(seen.values(name).size(), 1) << name.toStdString() << " is declared once";
        EXPECT_TRUE(name == QLatin1String("halvane.link") || name == QLatin1String("halvane.ingest")
                    || name == QLatin1String("halvane.ui"))
            << name.toStdString();
    }
    EXPECT_TRUE(names.contains(QStringLiteral("halvane.ingest")));
    for (const QLoggingCategory *c : std::as_const(seen)) {
        EXPECT_FALSE(c->isDebugEnabled()) << c->categoryName();
        EXPECT_TRUE(c->isInfoEnabled()) << c->categoryName();
    }
}
