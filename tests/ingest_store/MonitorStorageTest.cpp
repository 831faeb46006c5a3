#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "QtPrinters.h"

#include "FakeConnection.h"
#include "ingest/IngestState.h"
#include "model/Monitor.h"

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return f.readAll();
}

QByteArray pngBytes(int w, int h, QColor colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Collects the warnings of the ingest logging category while alive.
class IngestLog
{
public:
    IngestLog()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&IngestLog::handler);
    }
    ~IngestLog() { qInstallMessageHandler(m_previous); }
    [[nodiscard]] const QStringList &lines() const { return s_lines; }

private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (context.category && QLatin1String(context.category) == QLatin1String("halvane.ingest"))
            s_lines << message;
    }
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

class MonitorStorage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        m_folder = m_root.filePath(QStringLiteral("captures"));
        ASSERT_TRUE(QDir().mkpath(m_folder));
        m_monitor = std::make_unique<Monitor>(
            std::make_unique<QSettings>(m_root.filePath("settings.ini"), QSettings::IniFormat));
        m_cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
        m_monitor->appendCamera(m_cam);
    }

    QStringList filesInFolder() const
    {
        return QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir m_root;
    QString m_folder;
    std::unique_ptr<Monitor> m_monitor;
    std::shared_ptr<CameraConnection> m_cam;
};

} // namespace

TEST_F(MonitorStorage, PhotoIsShownAtOnceAndRecordedStoredOnceItsFileIsComplete)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    m_cam->status = CameraStatus::NoSignal;
    m_cam->lastActivity = QDateTime::currentDateTime().addDays(-1);
    const QDateTime before = QDateTime::currentDateTime();
    QSignalSpy changes(m_monitor.get(), &Monitor::objectWillChange);

    const QByteArray data = pngBytes(40, 30, Qt::red);
    for (int i = 0; i < 3; ++i)
        m_monitor->handleFile("IMG_0001.PNG", data, *m_cam);

    // Shown and selected before the disk is done; never claimed stored before that.
    EXPECT_EQ(changes.count(), 3);
    ASSERT_EQ(m_cam->photos.size(), 3);
    EXPECT_EQ(m_monitor->selectedPhotoId(), m_cam->photos.last().id());
    for (const CapturedPhoto &photo : m_cam->photos) {
        EXPECT_FALSE(photo.isStored());
        EXPECT_FALSE(photo.isNotStored());
    }

    waitForStores(*m_monitor);
    EXPECT_EQ(changes.count(), 6) << "one more notification per stored file";
    const QStringList expected{"IMG_0001.PNG", "IMG_0001-1.PNG", "IMG_0001-2.PNG"};
    for (int i = 0; i < 3; ++i) {
        const CapturedPhoto &photo = m_cam->photos.at(i);
        EXPECT_EQ(photo.filename, "IMG_0001.PNG");
        EXPECT_EQ(photo.storedPath, QDir(m_folder).filePath(expected.at(i)));
        EXPECT_TRUE(photo.isStored());
        EXPECT_EQ(readFile(photo.storedPath), data);
        ASSERT_TRUE(photo.preview);
    }
    QStringList sorted = expected;
    sorted.sort();
    EXPECT_EQ(filesInFolder(), sorted);
    EXPECT_EQ(m_monitor->selectedPhotoId(), m_cam->photos.last().id());
    EXPECT_EQ(m_cam->status, CameraStatus::Receiving);
    EXPECT_GE(m_cam->lastActivity, before);
}

TEST_F(MonitorStorage, PhotoFromAnInactiveCameraBecomesTheSelectedId)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    auto other = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
    m_monitor->appendCamera(other);
    m_monitor->handleFile("b.png", pngBytes(4, 4, Qt::blue), *other);
    ASSERT_EQ(other->photos.size(), 1);
    EXPECT_EQ(m_monitor->selectedPhotoId(), other->photos.first().id());
    EXPECT_EQ(m_monitor->activeCamera(), m_cam.get());
    EXPECT_EQ(m_monitor->selectedPhoto(), nullptr);
}

TEST_F(MonitorStorage, DisabledCameraDiscardsTheFileAndChangesNothing)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    m_cam->enabled = false;
    m_cam->status = CameraStatus::Paused;
    const QDateTime activity = QDateTime::currentDateTime().addSecs(-3600);
    m_cam->lastActivity = activity;
    const QUuid selected = QUuid::createUuid();
    m_monitor->setSelectedPhotoId(selected);
    QSignalSpy changes(m_monitor.get(), &Monitor::objectWillChange);

    m_monitor->handleFile("IMG_0001.JPG", "bytes", *m_cam);

    EXPECT_TRUE(m_cam->photos.isEmpty());
    EXPECT_EQ(m_cam->status, CameraStatus::Paused);
    EXPECT_EQ(m_cam->lastActivity, activity);
    EXPECT_EQ(m_monitor->selectedPhotoId(), selected);
    EXPECT_EQ(changes.count(), 0);
    EXPECT_TRUE(filesInFolder().isEmpty());
}

TEST_F(MonitorStorage, HostileNameIsStoredInsideTheFolderAndShownAsSent)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    m_monitor->handleFile("../../escape.png", "x", *m_cam);
    waitForStores(*m_monitor);
    ASSERT_EQ(m_cam->photos.size(), 1);
    EXPECT_EQ(m_cam->photos.first().filename, "../../escape.png");
    EXPECT_EQ(QFileInfo(m_cam->photos.first().storedPath).absolutePath(), QFileInfo(m_folder).absoluteFilePath());
    EXPECT_FALSE(QFileInfo::exists(m_root.filePath("escape.png")));
    EXPECT_EQ(filesInFolder(), QStringList{"___.._escape.png"});
}

TEST_F(MonitorStorage, WithoutFolderPhotosAreKeptAndWrittenWhenAFolderIsChosen)
{
    IngestLog log;
    ASSERT_TRUE(m_monitor->folder().isEmpty());
    const QByteArray first = pngBytes(10, 10, Qt::green);
    const QByteArray second = pngBytes(12, 8, Qt::yellow);
    m_monitor->handleFile("a.png", first, *m_cam);
    m_monitor->handleFile("a.png", second, *m_cam);

    ASSERT_EQ(m_cam->photos.size(), 2);
    for (const CapturedPhoto &photo : m_cam->photos)
        EXPECT_TRUE(photo.isNotStored()) << "no folder: marked at once";
    EXPECT_EQ(m_monitor->selectedPhotoId(), m_cam->photos.last().id());
    EXPECT_EQ(log.lines().size(), 1) << "one report per cause, not per photo";

    const QString chosen = m_root.filePath("new/nested/folder");
    QSignalSpy changes(m_monitor.get(), &Monitor::objectWillChange);
    m_monitor->useChosenFolder(QUrl::fromLocalFile(chosen));
    waitForStores(*m_monitor);

    EXPECT_GE(changes.count(), 1);
    EXPECT_EQ(m_monitor->folder(), chosen);
    EXPECT_EQ(m_monitor->folderName(), "folder");
    EXPECT_EQ(m_monitor->settings().value(Monitor::kFolderKey).toString(), chosen);
    EXPECT_EQ(readFile(m_cam->photos.at(0).storedPath), first);
    EXPECT_EQ(readFile(m_cam->photos.at(1).storedPath), second);
    EXPECT_EQ(QFileInfo(m_cam->photos.at(0).storedPath).fileName(), "a.png");
    EXPECT_EQ(QFileInfo(m_cam->photos.at(1).storedPath).fileName(), "a-1.png");
}

TEST_F(MonitorStorage, FolderRemovedThenBackStoresTheMissedPhotosWithTheNextOne)
{
    IngestLog log;
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    ASSERT_TRUE(QDir(m_folder).removeRecursively());

    const QByteArray lost1 = pngBytes(5, 5, Qt::cyan);
    const QByteArray lost2 = pngBytes(6, 6, Qt::magenta);
    m_monitor->handleFile("one.png", lost1, *m_cam);
    m_monitor->handleFile("two.png", lost2, *m_cam);
    waitForStores(*m_monitor);
    ASSERT_EQ(m_cam->photos.size(), 2);
    EXPECT_TRUE(m_cam->photos.at(0).isNotStored());
    EXPECT_FALSE(m_cam->photos.at(0).isStored());
    EXPECT_FALSE(m_cam->photos.at(1).isStored());
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().contains("does not exist")) << log.lines().first().toStdString();
    // The bytes are still there for the viewer.
    EXPECT_FALSE(m_cam->photos.at(0).preview->image().isNull());

    ASSERT_TRUE(QDir().mkpath(m_folder));
    const QByteArray next = pngBytes(7, 7, Qt::gray);
    m_monitor->handleFile("three.png", next, *m_cam);
    waitForStores(*m_monitor);

    ASSERT_EQ(m_cam->photos.size(), 3);
    EXPECT_EQ(readFile(m_cam->photos.at(0).storedPath), lost1);
    EXPECT_EQ(readFile(m_cam->photos.at(1).storedPath), lost2);
    EXPECT_EQ(readFile(m_cam->photos.at(2).storedPath), next);
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files, QDir::Name), (QStringList{"one.png", "three.png", "two.png"}));

    // A new episode of the same cause is reported again.
    ASSERT_TRUE(QDir(m_folder).removeRecursively());
    m_monitor->handleFile("four.png", next, *m_cam);
    waitForStores(*m_monitor);
    EXPECT_EQ(log.lines().size(), 2);
}

TEST_F(MonitorStorage, PhotosWaitingForTheFolderAreWrittenWhenItIsBackWithoutANewPhoto)
{
    IngestLog log;
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    ASSERT_TRUE(QDir(m_folder).removeRecursively());

    const QByteArray first = pngBytes(5, 5, Qt::cyan);
    const QByteArray second = pngBytes(6, 6, Qt::magenta);
    m_monitor->handleFile("same.png", first, *m_cam);
    m_monitor->handleFile("same.png", second, *m_cam);
    waitForStores(*m_monitor);
    ASSERT_TRUE(m_cam->photos.at(0).isNotStored());
    ASSERT_TRUE(m_cam->photos.at(1).isNotStored());

    // Tries while the folder is still missing change nothing and are not logged again.
    QTest::qWait(IngestState::kRetryIntervalMs + 500);
    waitForStores(*m_monitor);
    EXPECT_TRUE(m_cam->photos.at(0).isNotStored());
    EXPECT_FALSE(QDir(m_folder).exists());
    EXPECT_EQ(log.lines().size(), 1);

    // The camera has gone quiet; the folder comes back and the photos are written anyway, in
    // arrival order (the first keeps the plain name).
    ASSERT_TRUE(QDir().mkpath(m_folder));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_cam->photos.at(0).isStored() && m_cam->photos.at(1).isStored(); },
                                4 * IngestState::kRetryIntervalMs));
    EXPECT_EQ(readFile(m_cam->photos.at(0).storedPath), first);
    EXPECT_EQ(readFile(m_cam->photos.at(1).storedPath), second);
    EXPECT_EQ(QFileInfo(m_cam->photos.at(0).storedPath).fileName(), "same.png");
    EXPECT_EQ(filesInFolder(), (QStringList{"same-1.png", "same.png"}));
}

TEST_F(MonitorStorage, FolderPathThatIsAFileKeepsPhotosUnsaved)
{
    const QString file = m_root.filePath("not-a-folder");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    m_monitor->setFolder(file);
    m_monitor->handleFile("a.png", "data", *m_cam);
    waitForStores(*m_monitor);
    ASSERT_EQ(m_cam->photos.size(), 1);
    EXPECT_TRUE(m_cam->photos.first().isNotStored());
    EXPECT_EQ(readFile(file), "keep me");
}

TEST_F(MonitorStorage, ChooseFolderAsksTheWindowStartingAtTheCurrentFolder)
{
    QSignalSpy asked(m_monitor.get(), &Monitor::folderChooserRequested);
    m_monitor->chooseFolder();
    ASSERT_EQ(asked.count(), 1);
    // No folder yet: the user's pictures folder when there is one, never the working directory.
    const QUrl first = asked.at(0).at(0).toUrl();
    ASSERT_TRUE(first.isLocalFile());
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    EXPECT_EQ(first.toLocalFile(), QFileInfo(pictures).isDir() ? pictures : QDir::homePath());
    EXPECT_NE(first.toLocalFile(), QDir::currentPath());

    // Characters that mean something in a URL stay part of the folder's name.
    const QString odd = m_root.filePath(QStringLiteral("Sesión #3 ?50% listo"));
    m_monitor->useChosenFolder(QUrl::fromLocalFile(odd));
    ASSERT_EQ(m_monitor->folder(), odd);
    m_monitor->chooseFolder();
    ASSERT_EQ(asked.count(), 2);
    const QUrl second = asked.at(1).at(0).toUrl();
    EXPECT_EQ(second.toLocalFile(), odd);
    EXPECT_EQ(QUrl(second.toString()).toLocalFile(), odd) << "the URL's text round-trips";
}

TEST_F(MonitorStorage, PhotosBeingWrittenAreCompleteWhenTheMonitorGoesAway)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    const QByteArray big(48 << 20, 'x');
    for (int i = 0; i < 3; ++i)
        m_monitor->handleFile("big.raw", big, *m_cam);
    ASSERT_EQ(m_monitor->photoCount(CapturedPhoto::Storage::Writing), 3);
    m_monitor.reset(); // the application quitting with writes under way
    const QStringList files = filesInFolder();
    EXPECT_EQ(files, (QStringList{"big-1.raw", "big-2.raw", "big.raw"}));
    for (const QString &name : files)
        EXPECT_EQ(QFileInfo(QDir(m_folder).filePath(name)).size(), big.size());
}

TEST_F(MonitorStorage, ChoosingSomethingThatIsNotALocalFolderChangesNothing)
{
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_folder));
    QSignalSpy changes(m_monitor.get(), &Monitor::objectWillChange);
    m_monitor->useChosenFolder(QUrl());
    m_monitor->useChosenFolder(QUrl(QStringLiteral("https://example.invalid/photos")));
    EXPECT_EQ(m_monitor->folder(), m_folder);
    EXPECT_EQ(changes.count(), 0);
}
