// The logic behind the views, without rendering: the zoom state machine, display texts, and the
// window state over the Monitor with its parts (body rule, viewer source, list models, quit guard).
#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QDir>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "PictureItem.h"
#include "UiFixtures.h"
#include "UiFormat.h"
#include "ZoomState.h"
#include "ingest/PreviewCache.h"

namespace {

using Tester = QAbstractItemModelTester;

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

TEST(Geometry, FitCoverAndPinchesCommittedWithinOneToSix)
{
    EXPECT_EQ(ZoomState::fittedSize({3000, 2000}, {900, 400}), QSizeF(600, 400));
    EXPECT_EQ(ZoomState::fittedSize({3000, 2000}, {600, 800}), QSizeF(600, 400));
    EXPECT_EQ(ZoomState::fittedSize({400, 400}, {400, 400}), QSizeF(400, 400));
    EXPECT_TRUE(ZoomState::fittedSize({0, 200}, {600, 800}).isEmpty());
    EXPECT_EQ(PictureItem::sourceRect({300, 100}, {150, 100}, true), QRectF(75, 0, 150, 100));
    EXPECT_EQ(PictureItem::sourceRect({100, 300}, {100, 100}, true), QRectF(0, 100, 100, 100));

    // A pinch from zoom `from`, panned by (40, 10) when zoomed in, by `factor`.
    struct Case {
        double from, factor, committed;
        bool zoomedIn;
    };
    for (const Case c : {Case{1, 10, 6, true}, Case{1, 0.5, 1, false}, Case{2, 0.505, 1, false},
                         Case{1, 1.02, 1.02, true}, Case{4, 0.5, 2, true}}) {
        ZoomState z;
        z.pinchEnded(c.from);
        z.dragChanged({40, 10});
        z.dragEnded();
        z.pinchChanged(c.factor);
        EXPECT_DOUBLE_EQ(z.displayScale(), c.from * c.factor) << "no limit while the fingers are down";
        z.pinchEnded(c.factor);
        EXPECT_DOUBLE_EQ(z.displayScale(), c.committed) << c.from << " x " << c.factor;
        EXPECT_EQ(z.isZoomedIn(), c.zoomedIn) << c.from << " x " << c.factor;
        EXPECT_EQ(z.lastOffset(), c.from > 1 && c.zoomedIn ? QPointF(40, 10) : QPointF()) << "fitted clears the pan";
    }
    ZoomState z;
    z.pinchEnded(3);
    z.pinchChanged(1.7);
    z.pinchCancelled();
    EXPECT_DOUBLE_EQ(z.displayScale(), 3);
}

TEST(UiFormat, SizeDimensionsAndTime)
{
    // Exact ties round as printf does; the decimal point is "." in every locale.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(QStringList({UiFormat::sizeText(25480000, "RAW"), UiFormat::sizeText(0, "JPG"),
                           UiFormat::sizeText(1048576, ""), UiFormat::sizeText(1310720, "JPG"),
                           UiFormat::sizeText(786432, "JPG"), UiFormat::sizeText(262144, "PNG")}),
              QStringList({"24.3 MB · RAW", "0.0 MB · JPG", "1.0 MB · ", "1.2 MB · JPG", "0.8 MB · JPG", "0.2 MB · PNG"}));
    QLocale::setDefault(before);
    EXPECT_EQ(UiFormat::dimensionsText(6240, 4160), "6240×4160");
    EXPECT_EQ(UiFormat::dimensionsText(0, 4160), kMissing);
    EXPECT_EQ(UiFormat::timeText(QDateTime(QDate(1999, 12, 31), QTime(7, 0, 0))), "07:00:00");
    EXPECT_EQ(UiFormat::timeText(QDateTime()), kMissing);
}

TEST(WindowState, BodyRuleAndSelectorTextsFollowTheMonitor)
{
    MonitorFixture f;
    EXPECT_TRUE(f.ws.bodyEmpty());
    EXPECT_EQ(f.ws.cameraTitle(), "Sin cámara");
    CameraConnection &a = f.addCamera("X-T5");
    EXPECT_EQ(QStringList({f.ws.cameraTitle(), f.ws.photoCountText()}), QStringList({"X-T5", "0"}));

    // Only an active camera without signal and without photos leaves the body empty.
    struct Case {
        CameraStatus status;
        bool addPhoto, empty;
    };
    for (const Case c : {Case{CameraStatus::Receiving, false, false}, Case{CameraStatus::Paused, false, false},
                         Case{CameraStatus::NoSignal, false, true}, Case{CameraStatus::NoSignal, true, false}}) {
        a.status = c.status;
        if (c.addPhoto)
            f.addPhoto(a, "A.RAF");
        f.changed();
        EXPECT_EQ(f.ws.bodyEmpty(), c.empty) << int(c.status) << c.addPhoto;
    }
    EXPECT_EQ(f.ws.photoCountText(), "1");
}

// Photos whose full image comes from the real preview cache, decoded on its one thread, in order.
struct CachedPhotos {
    MonitorFixture f;
    CameraConnection &a = f.addCamera();
    std::shared_ptr<PreviewCache> cache = std::make_shared<PreviewCache>();
    std::atomic<int> decodes = 0;
    ViewerSource &source = *f.ws.viewer();
    QSignalSpy images{&source, &ViewerSource::imageChanged};

    CachedPhotos()
    {
        cache->setDecoder([this](const QByteArray &data, const QString &) {
            ++decodes;
            return QImage::fromData(data);
        });
    }
    // Adds and selects a photo of `size` (bytes that do not decode when empty); returns its identity.
    QString add(QSize size)
    {
        QByteArray bytes = size.isEmpty() ? QByteArray(4096, 'x') : QByteArray();
        QBuffer buffer(&bytes);
        EXPECT_TRUE(size.isEmpty() || (buffer.open(QIODevice::WriteOnly) && testImage(size.width(), size.height()).save(&buffer, "PNG")));
        CapturedPhoto photo;
        photo.thumb = testImage(32, 16);
        photo.preview = makePreviewSource(cache, cache->add(bytes, "IMG.PNG"));
        a.photos.append(photo);
        f.monitor->setSelectedPhotoId(photo.id());
        return idText(photo.id());
    }
    bool shows(QSize size) { return QTest::qWaitFor([&] { return source.image().size() == size; }, 5000); }
};

TEST(ViewerSource, ShowsTheThumbnailUntilTheFullImageIsDecodedAndDropsSupersededDecodes)
{
    CachedPhotos p;
    const QString first = p.add({400, 200});
    EXPECT_EQ(p.source.identity(), first);
    EXPECT_EQ(p.source.image().size(), QSize(32, 16)) << "the thumbnail stands in at once";
    ASSERT_TRUE(p.images.wait(5000));
    EXPECT_EQ(p.source.image().size(), QSize(400, 200));
    EXPECT_EQ(p.source.identity(), first) << "same photo: zoom and pan are kept";

    // Two photos in quick succession: the first one's decode comes back first and is dropped.
    p.add({640, 480});
    const QString third = p.add({120, 90});
    p.images.clear();
    ASSERT_TRUE(p.shows({120, 90}));
    EXPECT_EQ(p.source.identity(), third);
    EXPECT_EQ(p.images.count(), 1) << "the superseded image was shown";

    p.f.monitor->setSelectedPhotoId(QUuid(first));
    EXPECT_EQ(p.source.image().size(), QSize(400, 200)) << "a decoded photo comes back from the cache at once";
}

// A photo whose bytes do not decode is decoded once: later changes neither decode it again nor
// bring its thumbnail back in place of the placeholder.
TEST(ViewerSource, AnUndecodablePhotoIsDecodedOnceAndStaysThePlaceholder)
{
    CachedPhotos p;
    p.add({});
    EXPECT_EQ(p.source.image().size(), QSize(32, 16));
    ASSERT_TRUE(p.images.wait(5000));
    EXPECT_FALSE(p.source.hasImage());
    const int changes = int(p.images.count());
    for (int i = 0; i < 20; ++i) {
        p.a.status = i % 2 ? CameraStatus::Paused : CameraStatus::Receiving;
        p.f.changed();
        EXPECT_FALSE(p.source.hasImage()) << "change " << i;
    }
    // The decoding thread works in order: once another photo is shown, every request is served.
    p.add({40, 30});
    ASSERT_TRUE(p.shows({40, 30}));
    EXPECT_EQ(p.decodes, 2) << "the undecodable photo was decoded again";
    EXPECT_EQ(p.images.count(), changes + 2) << "the viewer flipped while nothing new was shown";
}

// The list models change row by row; the strip's resets only when another camera is shown.
TEST(ListModels, ThumbnailsNewestFirstAndDirectorRowsChangeRowByRow)
{
    MonitorFixture f;
    ThumbnailModel &thumbs = *f.ws.thumbnails();
    DirectorModel &params = *f.ws.params();
    Tester thumbsTester(&thumbs, Tester::FailureReportingMode::Fatal);
    Tester paramsTester(&params, Tester::FailureReportingMode::Fatal);
    auto rows = [](const QAbstractItemModel &model, QList<int> roles) {
        QStringList rows;
        for (int row = 0; row < model.rowCount(); ++row) {
            QStringList values;
            for (int role : roles)
                values.append(model.index(row, 0).data(role).toString());
            rows.append(values.join(QLatin1Char('|')));
        }
        return rows;
    };
    const QList<int> thumbRoles{ThumbnailModel::FilenameRole, ThumbnailModel::SelectedRole, ThumbnailModel::UnsavedRole};

    CameraConnection &a = f.addCamera();
    QSignalSpy resets(&thumbs, &QAbstractItemModel::modelReset);
    QSignalSpy changes(&thumbs, &QAbstractItemModel::dataChanged);
    QSignalSpy inserts(&thumbs, &QAbstractItemModel::rowsInserted);
    QList<QUuid> ids;
    for (const QString name : {"A.JPG", "B.JPG", "C.JPG"})
        ids.append(f.addPhoto(a, name, name != "B.JPG").id());
    EXPECT_EQ(rows(thumbs, thumbRoles), QStringList({"C.JPG|true|false", "B.JPG|false|true", "A.JPG|false|false"}));
    EXPECT_EQ(inserts.count(), 3);
    changes.clear();
    f.monitor->setSelectedPhotoId(ids[0]);
    a.photos[1].storage = CapturedPhoto::Storage::Writing; // B's file is on its way: not marked
    f.changed();
    EXPECT_EQ(rows(thumbs, thumbRoles), QStringList({"C.JPG|false|false", "B.JPG|false|false", "A.JPG|true|false"}));
    EXPECT_EQ(changes.count(), 3) << "the two selection rows and B's";
    EXPECT_EQ(resets.count(), 0);
    CameraConnection &b = f.addCamera();
    f.monitor->setActiveCameraId(b.id());
    EXPECT_EQ(thumbs.rowCount(), 0) << "another camera: its own (empty) strip";

    // Director rows: display order, a key without allowed values has none; label, value text,
    // slider position (the first allowed value equal to the current one, else 0), slider or not.
    EXPECT_TRUE(params.waiting());
    b.paramState["iso"] = {800, {200, 400, 800, 1600}};
    b.paramState["filmSimulation"] = {21, {1, 2, 11}};
    b.paramState["shutterSpeed"] = {4000, {4000}};
    b.paramState["grainEffect"] = {1, {}};
    b.paramState["exposureComp"] = {-3, {-3, 0, 3}};
    f.changed();
    EXPECT_FALSE(params.waiting());
    EXPECT_TRUE(params.exposureReported());
    EXPECT_EQ(rows(params, {DirectorModel::LabelRole, DirectorModel::ValueTextRole, DirectorModel::PositionRole,
                            DirectorModel::HasSliderRole}),
              QStringList({"Velocidad|1/250s|0|false", "ISO|800|2|true", "Simulación de película|#21|0|true",
                           "exposureComp|#-3|0|true"}));

    // A slider sends the allowed value at the nearest index, halves away from zero; outside, nothing.
    QSignalSpy paramResets(&params, &QAbstractItemModel::modelReset);
    for (const double position : {0.5, 2.49, 3.6, -0.6})
        params.move(1, position);
    params.move(7, 1);
    EXPECT_EQ(f.commands(b), QStringList({"setParam iso 400", "setParam iso 800"}));
    EXPECT_EQ(paramResets.count(), 0) << "value changes refresh the row, they do not rebuild the list";
}

// Quitting asks only while photos are not stored; a photo being written is finished before the
// process exits. A chosen folder quits once the photos are on disk, and asks again if it fails.
TEST(QuitGuard, PhotosBeingWrittenDoNotHoldUpQuitting)
{
    MonitorFixture f;
    f.addPhoto(f.addCamera(), "a.jpg").storage = CapturedPhoto::Storage::Writing;
    EXPECT_TRUE(f.ws.quitGuard()->mayQuit());
}

TEST(QuitGuard, AsksWithTheCountAndAChosenFolderQuitsOnceThePhotosAreOnDisk)
{
    MonitorFixture f;
    QuitGuard &guard = *f.ws.quitGuard();
    CameraConnection &a = f.addCamera();
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && testImage(64, 48).save(&buffer, "PNG"));
    f.monitor->handleFile("a.png", png, a); // no folder yet: kept in memory
    f.monitor->handleFile("b.png", png, a);
    QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);
    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    ASSERT_FALSE(guard.mayQuit());
    EXPECT_EQ(guard.message(), "2 fotos no se han guardado en la carpeta de capturas y se perderán si sales.");
    EXPECT_EQ(guard.messageFor(1), "1 foto no se ha guardado en la carpeta de capturas y se perderá si sales.");

    guard.chooseFolder();
    EXPECT_EQ(chooser.count(), 1);
    f.changed(); // unrelated changes while the chooser is open
    EXPECT_FALSE(guard.asking());
    guard.folderChoiceCancelled();
    EXPECT_TRUE(guard.asking()) << "the chooser closed without a folder: the question is back";

    // A folder that cannot be made: the writes fail and the question is asked again.
    QFile blocker(f.dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    guard.chooseFolder();
    f.monitor->useChosenFolder(QUrl::fromLocalFile(f.dir.filePath("file/sub")));
    guard.folderChosen();
    EXPECT_TRUE(guard.saving());
    ASSERT_TRUE(QTest::qWaitFor([&] { return guard.asking(); }, 10000));
    EXPECT_EQ(guard.unsavedCount(), 2);

    // A working folder: confirmed only once both files are complete.
    const QString folder = f.dir.filePath("Capturas");
    int filesWhenConfirmed = -1;
    QObject::connect(&guard, &QuitGuard::quitConfirmed,
                     [&] { filesWhenConfirmed = int(QDir(folder).entryList(QDir::Files).size()); });
    guard.chooseFolder();
    f.monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    guard.folderChosen();
    EXPECT_FALSE(guard.mayQuit()) << "still writing";
    ASSERT_TRUE(confirmed.wait(10000));
    EXPECT_EQ(confirmed.count(), 1);
    EXPECT_EQ(filesWhenConfirmed, 2);
    EXPECT_FALSE(guard.asking());
}

} // namespace
