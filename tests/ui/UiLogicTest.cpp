// The logic behind the views that the window does not show directly: size texts at exact
// ties and in other locales, the viewer's asynchronous decoding, and the quit guard's folder
// flows. The rest is checked through the views (ViewsTest.cpp).
#include <QAbstractItemModelTester>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <atomic>

#include "ThumbnailShoot.h"
#include "UiFixtures.h"
#include "KeyCommands.h"
#include "UiFormat.h"
#include "ViewOptions.h"
#include "ZoomState.h"
#include "ingest/PreviewCache.h"

namespace {

QByteArray png(QSize size, const char *format = "PNG")
{
    return SampleFiles::encode(SampleFiles::quadrants(size), format);
}

TEST(UiFormat, SizeDimensionsAndTime)
{
    // Exact ties round as printf does; the decimal point is "." in every locale.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(QStringList({UiFormat::sizeText(1048576, ""), UiFormat::sizeText(1310720, "JPG"),
                           UiFormat::sizeText(786432, "JPG"), UiFormat::sizeText(262144, "PNG")}),
              QStringList({"1.0 MB · ", "1.2 MB · JPG", "0.8 MB · JPG", "0.2 MB · PNG"}));
    QLocale::setDefault(before);
    EXPECT_EQ(QStringList({UiFormat::dimensionsText(0, 4160), UiFormat::timeText(QDateTime()),
                           UiFormat::timeText(QDateTime(QDate(1999, 12, 31), QTime(7, 0, 0)))}),
              QStringList({kMissing, kMissing, "07:00:00"}));
}

// The viewer shows a photo's thumbnail until its full image is decoded (by the real preview
// cache, on its one thread, in order), drops decodes it has moved past, and decodes a photo that
// does not decode once: later changes neither decode it again nor bring its thumbnail back.
TEST(ViewerSource, ThumbnailUntilDecodedSupersededDecodesDroppedUndecodableDecodedOnce)
{
    MonitorFixture f;
    CameraConnection &a = f.addCamera();
    auto cache = std::make_shared<PreviewCache>();
    std::atomic<int> decodes = 0;
    cache->setDecoder([&decodes](const QByteArray &data, const QString &, QSize) {
        ++decodes;
        return ViewImage(QImage::fromData(data));
    });
    ViewerSource &source = *f.ws.viewer();
    QSignalSpy images(&source, &ViewerSource::imageChanged);
    auto show = [&](const QByteArray &bytes) {
        CapturedPhoto photo;
        photo.thumb = SampleFiles::quadrants(QSize(32, 16));
        photo.preview = makePreviewSource(cache, cache->add(bytes, "IMG.PNG"));
        a.photos.append(photo);
        f.monitor.setSelectedPhotoId(photo.id());
        return photo.id().toString(QUuid::WithoutBraces);
    };
    auto shows = [&](QSize size) { return QTest::qWaitFor([&] { return source.image().size() == size; }); };

    const QString first = show(png({400, 200}));
    EXPECT_EQ(std::pair(source.identity(), source.image().width()), std::pair(first, 32)) << "the thumbnail at once";
    ASSERT_TRUE(images.wait());
    EXPECT_EQ(std::pair(source.identity(), source.image().width()), std::pair(first, 400)) << "same identity";

    show(png({640, 480}));
    show(png({120, 90}));
    images.clear();
    ASSERT_TRUE(shows({120, 90}));
    EXPECT_EQ(images.count(), 1) << "the superseded image was shown";

    const int decoded = decodes;
    show(QByteArray(4096, 'x'));
    ASSERT_TRUE(images.wait());
    images.clear();
    for (const CameraStatus status : {CameraStatus::Paused, CameraStatus::Receiving, CameraStatus::Paused}) {
        a.status = status;
        f.changed();
        EXPECT_FALSE(source.hasImage());
    }
    show(png({40, 30}));
    ASSERT_TRUE(shows({40, 30}));
    EXPECT_EQ(decodes, decoded + 2) << "the undecodable photo was decoded again";
    EXPECT_EQ(images.count(), 2) << "the viewer flipped while nothing new was shown";

    // Told its frame, the viewer decodes a JPEG only as large as it shows it, and in full once the
    // zoom shows more; the reduced image stays until the full one arrives.
    cache->setDecoder(decodeForView);
    source.setFrameSize({200, 100});
    const QString jpeg = show(png({1600, 800}, "JPEG"));
    ASSERT_TRUE(shows({200, 100}));
    source.setZoom(1.5);
    EXPECT_EQ(std::pair(source.identity(), source.image().size()), std::pair(jpeg, QSize(200, 100)));
    ASSERT_TRUE(shows({1600, 800}));
}

// A photo is listed and selected at once; its thumbnail and dimensions, built off the main
// thread, then update its own tile and the sidebar. A record gone before its build ends is skipped.
TEST(ThumbnailModel, ThumbnailsBuiltAfterTheListingUpdateTheirTileAndTheSidebar)
{
    MonitorFixture f;
    CameraConnection &a = f.addCamera();
    f.monitor.handleFile("gone.png", png({64, 48}), a);
    a.photos.clear();
    f.changed();
    f.monitor.handleFile("a.png", png({64, 48}), a);
    f.monitor.handleFile("b.png", png({32, 48}), a);
    const ThumbnailModel &thumbs = *f.ws.thumbnails();
    const auto tile = [&](int row, int role) { return thumbs.data(thumbs.index(row), role); };
    ASSERT_EQ(thumbs.rowCount(), 2);
    EXPECT_TRUE(tile(0, ThumbnailModel::SelectedRole).toBool());
    EXPECT_EQ(f.ws.details()->filename(), "b.png");
    EXPECT_FALSE(tile(0, ThumbnailModel::HasThumbRole).toBool() || tile(1, ThumbnailModel::HasThumbRole).toBool());
    EXPECT_EQ(f.ws.details()->dimensions(), kMissing);
    QSignalSpy changes(&thumbs, &QAbstractItemModel::dataChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.monitor.buildsInFlight() == 0; }, 10000));
    EXPECT_EQ(tile(1, ThumbnailModel::ThumbRole).value<QImage>().size(), QSize(64, 48));
    EXPECT_EQ(tile(0, ThumbnailModel::ThumbRole).value<QImage>().size(), QSize(32, 48));
    EXPECT_EQ(std::count_if(changes.cbegin(), changes.cend(),
                  [](const QList<QVariant> &c) { return c[2].value<QList<int>>().contains(ThumbnailModel::ThumbRole); }),
        2);
    EXPECT_EQ(f.ws.details()->dimensions(), "32×48");
}

// The strip answers from the thumbnails at hand: a tile whose thumbnail was dropped shows the
// placeholder while it is rebuilt from its file, and its row alone is told when it arrives; one
// whose file is gone stays the placeholder.
TEST(ThumbnailModel, DroppedThumbnailsShowThePlaceholderUntilTheyArrive)
{
    MonitorFixture f;
    ThumbnailModel &thumbs = *f.ws.thumbnails();
    QAbstractItemModelTester tester(&thumbs, QAbstractItemModelTester::FailureReportingMode::Fatal);
    CameraConnection &a = f.addCamera();
    // Room for two decoded thumbnails and none compressed: the two oldest of four are dropped.
    ThumbnailShoot shoot(4, 0, 2 * ThumbnailShoot::kSize.width() * ThumbnailShoot::kSize.height() * 4);
    for (int i = 0; i < 4; ++i)
        f.addPhoto(a, ThumbnailShoot::name(i)).thumb = shoot.thumbs[i];
    f.changed();
    QFile::remove(shoot.path(0));
    QSignalSpy changes(&thumbs, &QAbstractItemModel::dataChanged);
    const auto tile = [&](int photo, int role) { return thumbs.data(thumbs.index(3 - photo), role); };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tile(i, ThumbnailModel::HasThumbRole).toBool(), i >= 2) << i;
    ASSERT_TRUE(QTest::qWaitFor([&] { return shoot.store->loadsPending() == 0; }));
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0][0].toModelIndex().row(), 2);
    EXPECT_TRUE(shoot.shows(1, tile(1, ThumbnailModel::ThumbRole).value<QImage>()));
    EXPECT_FALSE(tile(0, ThumbnailModel::HasThumbRole).toBool());
}

// Photos kept in memory without a folder: a chosen folder quits once they are all on disk, and
// asks again when the folder fails.
TEST(QuitGuard, AChosenFolderQuitsOnceThePhotosAreOnDiskAndAsksAgainIfItFails)
{
    MonitorFixture f;
    QuitGuard &guard = *f.ws.quitGuard();
    CameraConnection &a = f.addCamera();
    f.monitor.handleFile("a.png", png({64, 48}), a);
    QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);
    ASSERT_FALSE(guard.mayQuit());
    EXPECT_EQ(guard.message(), "1 foto no se ha guardado en la carpeta de capturas y se perderá si sales.");

    // The one photo fails again in a folder that cannot be made; a second fails there too.
    QFile blocker(f.dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    guard.chooseFolder();
    f.monitor.useChosenFolder(QUrl::fromLocalFile(f.dir.filePath("file/sub")));
    guard.folderChosen();
    ASSERT_TRUE(QTest::qWaitFor([&] { return guard.asking(); }, 10000));
    f.monitor.handleFile("b.png", png({64, 48}), a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return guard.unsavedCount() == 2; }, 10000));

    const QString folder = f.dir.filePath("Capturas");
    int filesWhenConfirmed = -1;
    QObject::connect(&guard, &QuitGuard::quitConfirmed,
                     [&] { filesWhenConfirmed = int(QDir(folder).entryList(QDir::Files).size()); });
    guard.chooseFolder();
    f.monitor.useChosenFolder(QUrl::fromLocalFile(folder));
    guard.folderChosen();
    EXPECT_FALSE(guard.mayQuit()) << "still writing";
    ASSERT_TRUE(confirmed.wait(10000));
    EXPECT_EQ(filesWhenConfirmed, 2);
}

// Photos waiting safely in the pending folder are stored on a later run: quitting does not ask.
TEST(QuitGuard, PhotosPendingOnDiskNeedNoQuestion)
{
    MonitorFixture f;
    f.monitor.store().setPendingFolder(f.dir.filePath("pending"));
    f.monitor.handleFile("a.png", png({64, 48}), f.addCamera());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.monitor.store().writesInFlight() == 0; }, 10000));
    EXPECT_EQ(f.monitor.photoCount(CapturedPhoto::Storage::NotStored), 1);
    EXPECT_TRUE(f.ws.quitGuard()->mayQuit());
}

// A photo being written from memory is not safe until the write succeeds: quitting waits for
// it, and asks when it fails (both folders failing), or quits once it is on disk.
TEST(QuitGuard, AWriteUnderWayIsWaitedForAndAsksIfItFails)
{
    for (const bool fails : { true, false }) {
        MonitorFixture f;
        QuitGuard &guard = *f.ws.quitGuard();
        QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);
        f.monitor.setFolder(fails ? f.dir.filePath("missing/sub") : f.dir.path());
        f.monitor.handleFile("a.png", png({ 8, 8 }), f.addCamera());
        EXPECT_TRUE(!guard.mayQuit() && guard.unsavedCount() == 1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return guard.asking() || confirmed.count() == 1; }, 10000));
        EXPECT_EQ(guard.asking(), fails);
    }
}

} // namespace

TEST(ViewOptions, TogglesAreRememberedAcrossRunsBesideTheFolder)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("halvane.folder"), QStringLiteral("/photos"));
        ViewOptions options(settings);
        EXPECT_FALSE(options.clipping() || options.peaking() || options.grid());
        options.toggleClipping();
        options.toggleGrid();
        options.toggleGrid();
        options.togglePeaking();
    }
    QSettings settings(path, QSettings::IniFormat);
    const ViewOptions next(settings);
    EXPECT_TRUE(next.clipping());
    EXPECT_TRUE(next.peaking());
    EXPECT_FALSE(next.grid());
    EXPECT_EQ(settings.value(QStringLiteral("halvane.folder")).toString(), QStringLiteral("/photos"));
}

// A wheel turn zooms about the pointer: the part of the image under it stays there, within 1…6;
// at or below 1.01 the view is fitted again, and a drag goes on from the pan the wheel left.
TEST(ZoomState, TheWheelZoomsAboutThePointerWithinOneToSix)
{
    EXPECT_DOUBLE_EQ(ZoomState::wheelFactor(3 * 120), 2.0) << "three notches double the zoom";
    ZoomState z;
    // The image point under `p` (both from the centre, in points at zoom 1).
    const auto under = [&z](QPointF p) { return (p - z.offset()) / z.zoom(); };
    const QPointF p(120, -60), q(-30, 40);
    z.zoomAbout(2, p);
    EXPECT_EQ(std::pair(z.zoom(), under(p)), std::pair(2.0, p));
    const QPointF atQ = under(q);
    z.zoomAbout(5, q);
    EXPECT_EQ(std::pair(z.zoom(), under(q)), std::pair(6.0, atQ)) << "limited to 6, the point kept";
    const QPointF offset = z.offset();
    z.dragChanged({10, -5});
    EXPECT_EQ(z.offset(), offset + QPointF(10, -5));
    z.zoomAbout(0.1683, q);
    EXPECT_EQ(std::tuple(z.zoom(), z.offset(), z.lastOffset()), std::tuple(1.0, QPointF(), QPointF())) << "1.0098";
}

// The keys do nothing while the recovery notice or the quit question is shown, Space nothing
// without an image to zoom, Escape nothing but leave full screen.
TEST(KeyCommands, NothingFiresUnderTheNoticeOrTheQuestionSpaceNeedsAnImageEscapeLeavesFullScreen)
{
    MonitorFixture f;
    KeyCommands &keys = *f.ws.keys();
    EXPECT_FALSE(keys.handleKey(Qt::Key_Space) || keys.handleKey(Qt::Key_Home));
    CameraConnection &a = f.addCamera();
    f.addPhoto(a, "A");
    emit f.monitor.store().recovered(1, "/srv/Capturas");
    EXPECT_FALSE(keys.enabled() || keys.handleKey(Qt::Key_D));
    f.monitor.dismissRecovered();
    f.monitor.handleFile("q.png", "bytes", a); // kept in memory: quitting asks
    ASSERT_FALSE(f.ws.quitGuard()->mayQuit());
    EXPECT_FALSE(keys.enabled() || keys.handleKey(Qt::Key_End));
    f.ws.quitGuard()->cancel();
    EXPECT_TRUE(keys.handleKey(Qt::Key_End) && f.monitor.selectedPhoto()->filename == "A");
    EXPECT_FALSE(keys.escapeEnabled() || keys.handleKey(Qt::Key_Escape)) << "Escape is left to the popups";
    keys.setFullScreen(true);
    EXPECT_TRUE(keys.escapeEnabled() && keys.handleKey(Qt::Key_Escape));
}
