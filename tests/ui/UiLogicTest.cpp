// The logic behind the views, without rendering: theme colours, the zoom state machine, display
// texts, the body rule, the viewer's source and the list models.
#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>

#include "CameraListModel.h"
#include "DirectorModel.h"
#include "PhotoDetails.h"
#include "PictureItem.h"
#include "QuitGuard.h"
#include "SvgIcon.h"
#include "ThumbnailModel.h"
#include "UiFixtures.h"
#include "UiFormat.h"
#include "ViewerSource.h"
#include "ingest/PreviewCache.h"
#include "WindowState.h"
#include "ZoomState.h"
#include "Zelv.h"

namespace {

// ---- Theme ------------------------------------------------------------------------------------

TEST(Zelv, ColourFromHexUsesLow24BitsInSteps255)
{
    const QColor accent = Zelv::color(0x9184D9);
    EXPECT_EQ(accent.red(), 145);
    EXPECT_EQ(accent.green(), 132);
    EXPECT_EQ(accent.blue(), 217);
    EXPECT_DOUBLE_EQ(accent.alphaF(), 1.0);
    EXPECT_EQ(Zelv::color(0xFF9184D9), accent) << "the top 8 bits are ignored";
    EXPECT_EQ(Zelv::color(0x0A9184D9), accent);

    const QColor halfWhite = Zelv::color(0xFFFFFF, 0.5);
    EXPECT_EQ(halfWhite.rgb() & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_NEAR(halfWhite.alphaF(), 0.5, 2e-5); // QColor keeps 16 bits a channel
    EXPECT_EQ(Zelv::accent(), Zelv::accent()) << "a token reads the same every time";
    EXPECT_NEAR(Zelv::divider().alphaF(), 0.16, 2e-5);
    EXPECT_EQ(Zelv::divider().rgb() & 0xFFFFFF, 0xFFFFFFu);
}

// ---- Zoom and pan -----------------------------------------------------------------------------

TEST(ZoomState, FittedSizeKeepsAspectInsideTheFrame)
{
    EXPECT_EQ(ZoomState::fittedSize({3000, 2000}, {900, 400}), QSizeF(600, 400));
    EXPECT_EQ(ZoomState::fittedSize({3000, 2000}, {600, 800}), QSizeF(600, 400));
    EXPECT_EQ(ZoomState::fittedSize({400, 400}, {400, 400}), QSizeF(400, 400)) << "equal ratios fill the height";
    EXPECT_TRUE(ZoomState::fittedSize({0, 200}, {600, 800}).isEmpty());
    EXPECT_TRUE(ZoomState::fittedSize({200, 0}, {600, 800}).isEmpty());
    EXPECT_TRUE(ZoomState::fittedSize({200, 100}, {0, 0}).isEmpty());
}

TEST(ZoomState, DoubleClickTogglesBetweenFittedAndTwoAndAHalf)
{
    ZoomState z;
    z.dragChanged({30, 30});
    EXPECT_EQ(z.offset(), QPointF()) << "a fitted image does not pan";
    z.doubleClick();
    EXPECT_DOUBLE_EQ(z.zoom(), 2.5);
    EXPECT_TRUE(z.isZoomedIn());
    z.dragChanged({30, -20});
    EXPECT_EQ(z.offset(), QPointF(30, -20));
    z.dragEnded();
    z.dragChanged({5, 5});
    EXPECT_EQ(z.offset(), QPointF(35, -15)) << "a second drag continues from the first";
    z.dragEnded();
    z.doubleClick();
    EXPECT_DOUBLE_EQ(z.zoom(), 1.0);
    EXPECT_EQ(z.offset(), QPointF());
    EXPECT_EQ(z.lastOffset(), QPointF());
}

TEST(ZoomState, PinchShowsLiveScaleAndCommitsClamped)
{
    ZoomState z;
    z.pinchChanged(10);
    EXPECT_DOUBLE_EQ(z.displayScale(), 10) << "no limit while the fingers are down";
    z.pinchEnded(10);
    EXPECT_DOUBLE_EQ(z.zoom(), 6);
    EXPECT_DOUBLE_EQ(z.magnifyDelta(), 1);

    z.reset();
    z.pinchChanged(0.5);
    EXPECT_DOUBLE_EQ(z.displayScale(), 0.5);
    z.pinchEnded(0.5);
    EXPECT_DOUBLE_EQ(z.zoom(), 1);

    // From zoom 2 a factor of 0.505 lands on 1.01, which is not zoomed in: back to fitted.
    z.reset();
    z.pinchEnded(2);
    z.dragChanged({40, 10});
    z.dragEnded();
    ASSERT_EQ(z.offset(), QPointF(40, 10));
    z.pinchEnded(0.505);
    EXPECT_DOUBLE_EQ(z.zoom(), 1);
    EXPECT_EQ(z.offset(), QPointF());
    EXPECT_EQ(z.lastOffset(), QPointF());

    z.pinchEnded(3);
    z.pinchChanged(1.7);
    z.pinchCancelled();
    EXPECT_DOUBLE_EQ(z.zoom(), 3);
    EXPECT_DOUBLE_EQ(z.displayScale(), 3);
}

// ---- Display texts ----------------------------------------------------------------------------

struct SizeCase {
    qint64 bytes;
    const char *format;
    const char *expected;
};

class SizeText : public ::testing::TestWithParam<SizeCase>
{
};

TEST_P(SizeText, FormatsBinaryMegabytesWithOneDecimal)
{
    const SizeCase c = GetParam();
    EXPECT_EQ(UiFormat::sizeText(c.bytes, QString::fromUtf8(c.format)), QString::fromUtf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(UiFormat, SizeText,
                         ::testing::Values(SizeCase{25480000, "RAW", "24.3 MB · RAW"},
                                           SizeCase{0, "JPG", "0.0 MB · JPG"},
                                           SizeCase{1048576, "", "1.0 MB · "},
                                           SizeCase{1101005, "HEIC", "1.1 MB · HEIC"},
                                           // exact ties round as printf does
                                           SizeCase{1310720, "JPG", "1.2 MB · JPG"},
                                           SizeCase{786432, "JPG", "0.8 MB · JPG"},
                                           SizeCase{262144, "PNG", "0.2 MB · PNG"}));

TEST(UiFormat, SizeTextUsesPointInEveryLocale)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(UiFormat::sizeText(25480000, QStringLiteral("RAW")), QStringLiteral("24.3 MB · RAW"));
    QLocale::setDefault(before);
}

TEST(UiFormat, DimensionsAndTime)
{
    EXPECT_EQ(UiFormat::dimensionsText(6240, 4160), QStringLiteral("6240×4160"));
    EXPECT_EQ(UiFormat::dimensionsText(0, 4160), kMissing);
    EXPECT_EQ(UiFormat::dimensionsText(-3, 10), kMissing);
    EXPECT_EQ(UiFormat::timeText(QDateTime(QDate(2026, 3, 1), QTime(14, 3, 9))), QStringLiteral("14:03:09"));
    EXPECT_EQ(UiFormat::timeText(QDateTime(QDate(1999, 12, 31), QTime(7, 0, 0))), QStringLiteral("07:00:00"));
    // An instant given in another zone shows as local time of day.
    const QDateTime utc(QDate(2026, 3, 1), QTime(12, 0, 0), QTimeZone::utc());
    EXPECT_EQ(UiFormat::timeText(utc), utc.toLocalTime().toString(QStringLiteral("HH:mm:ss")));
    EXPECT_EQ(UiFormat::timeText(QDateTime()), kMissing);
}

// ---- Frame state and body rule ----------------------------------------------------------------

TEST(WindowState, BodyRuleAndSelectorTexts)
{
    MonitorFixture f;
    WindowState ws;
    ws.setMonitor(f.monitor.get());
    EXPECT_TRUE(ws.bodyEmpty());
    EXPECT_FALSE(ws.hasActiveCamera());
    EXPECT_EQ(ws.cameraTitle(), QStringLiteral("Sin cámara"));

    auto a = f.addCamera(QStringLiteral("X-T5"));
    EXPECT_FALSE(ws.bodyEmpty()) << "a receiving camera shows the column even without photos";
    EXPECT_EQ(ws.cameraTitle(), QStringLiteral("X-T5"));
    EXPECT_EQ(ws.photoCountText(), QStringLiteral("0"));

    a.cam->status = CameraStatus::NoSignal;
    emit f.monitor->objectWillChange();
    EXPECT_TRUE(ws.bodyEmpty()) << "no signal and no photos";
    a.cam->status = CameraStatus::Paused;
    emit f.monitor->objectWillChange();
    EXPECT_FALSE(ws.bodyEmpty());
    a.cam->status = CameraStatus::NoSignal;
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("A.RAF"));
    EXPECT_FALSE(ws.bodyEmpty()) << "no signal but a photo to show";
    EXPECT_EQ(ws.photoCountText(), QStringLiteral("1"));
}

TEST(WindowState, ActionsReachTheNamedCamera)
{
    MonitorFixture f;
    WindowState ws;
    ws.setMonitor(f.monitor.get());
    auto a = f.addCamera(QStringLiteral("A"));
    auto b = f.addCamera(QStringLiteral("B"));
    const QString bId = b.cam->id().toString(QUuid::WithoutBraces);

    ws.toggleEnabled(bId);
    EXPECT_FALSE(b.cam->enabled);
    EXPECT_EQ(b.cam->status, CameraStatus::Paused);
    EXPECT_TRUE(a.cam->enabled);

    ws.selectCamera(bId);
    EXPECT_EQ(f.monitor->activeCamera(), b.cam.get());
    ASSERT_EQ(sentCommands(*b.sent).size(), 1);
    EXPECT_EQ(sentCommands(*b.sent)[0][QStringLiteral("cmd")].toString(), QStringLiteral("requestState"));

    ws.triggerShutter();
    EXPECT_EQ(sentCommands(*b.sent).last()[QStringLiteral("cmd")].toString(), QStringLiteral("shutter"));
    EXPECT_TRUE(a.sent->isEmpty());

    ws.selectCamera(QStringLiteral("not-a-camera"));
    ws.toggleEnabled(QUuid::createUuid().toString());
    EXPECT_EQ(f.monitor->activeCamera(), b.cam.get()) << "an unknown id changes nothing";
}

// ---- Viewer source ----------------------------------------------------------------------------

TEST(ViewerSource, ShowsPreviewOrLiveFrameWithTheirIdentities)
{
    MonitorFixture f;
    ViewerSource source;
    source.setMonitor(f.monitor.get());
    QSignalSpy images(&source, &ViewerSource::imageChanged);
    EXPECT_FALSE(source.hasImage());
    EXPECT_EQ(source.caption(), QStringLiteral("Última foto capturada"));

    auto a = f.addCamera();
    CapturedPhoto &first = MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("A.JPG"));
    EXPECT_TRUE(source.hasImage());
    EXPECT_EQ(source.identity(), first.id().toString(QUuid::WithoutBraces));
    EXPECT_EQ(images.count(), 1);
    auto *preview = static_cast<FixedPreview *>(first.preview.get());
    a.cam->status = CameraStatus::Paused; // an unrelated change
    emit f.monitor->objectWillChange();
    EXPECT_EQ(preview->calls, 1) << "the preview is decoded once per photo shown";
    EXPECT_EQ(images.count(), 1);

    // A photo without a preview shows the placeholder.
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("B.JPG"), true, false);
    EXPECT_FALSE(source.hasImage());
    EXPECT_TRUE(source.identity().isEmpty());

    f.monitor->setDirectorModeOn(true);
    EXPECT_EQ(source.caption(), QStringLiteral("Live view"));
    EXPECT_FALSE(source.hasImage());
    a.cam->liveFrame = testImage(128, 85);
    emit f.monitor->objectWillChange();
    const QString live = source.identity();
    EXPECT_EQ(live, QStringLiteral("live-") + a.cam->id().toString(QUuid::WithoutBraces).toUpper());
    EXPECT_EQ(live.size(), 5 + 36);
    a.cam->liveFrame = testImage(128, 85, Qt::red, Qt::blue);
    const int before = images.count();
    emit f.monitor->objectWillChange();
    EXPECT_EQ(images.count(), before + 1) << "each new frame is handed over";
    EXPECT_EQ(source.identity(), live) << "and keeps the identity";
    EXPECT_EQ(source.image().cacheKey(), a.cam->liveFrame.cacheKey());
}

namespace {

QByteArray pngOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A received photo whose full image comes from the real preview cache, decoded off the main
// thread.
CapturedPhoto &addCachedPhoto(Monitor &monitor, CameraConnection &cam, PreviewCache &cache,
                              const std::shared_ptr<PreviewCache> &shared, QSize full,
                              const QByteArray &bytes = {})
{
    CapturedPhoto photo;
    photo.filename = QStringLiteral("IMG.PNG");
    photo.thumb = testImage(32, 16);
    photo.preview = makePreviewSource(
        shared, cache.add(bytes.isNull() ? pngOf(testImage(full.width(), full.height())) : bytes, photo.filename));
    cam.photos.append(photo);
    monitor.setSelectedPhotoId(cam.photos.last().id());
    return cam.photos.last();
}

} // namespace

TEST(ViewerSource, ShowsTheThumbnailUntilTheFullImageIsDecodedOffTheMainThread)
{
    MonitorFixture f;
    auto cache = std::make_shared<PreviewCache>();
    ViewerSource source;
    source.setMonitor(f.monitor.get());
    auto a = f.addCamera();
    QSignalSpy images(&source, &ViewerSource::imageChanged);

    const CapturedPhoto &added = addCachedPhoto(*f.monitor, *a.cam, *cache, cache, QSize(400, 200));
    // Copies: appending later photos moves the list's elements.
    const QUuid photoId = added.id();
    const std::shared_ptr<PreviewSource> preview = added.preview;
    const QString identity = photoId.toString(QUuid::WithoutBraces);
    EXPECT_EQ(source.identity(), identity);
    EXPECT_EQ(source.image().size(), QSize(32, 16)) << "the thumbnail stands in at once";

    ASSERT_TRUE(images.wait(5000));
    EXPECT_EQ(source.image().size(), QSize(400, 200));
    EXPECT_EQ(source.identity(), identity) << "same photo: zoom and pan are kept";
    EXPECT_FALSE(preview->cachedImage().isNull()) << "the decoded image is cached";

    // Going back to a decoded photo needs no decode at all.
    addCachedPhoto(*f.monitor, *a.cam, *cache, cache, QSize(300, 300));
    f.monitor->setSelectedPhotoId(photoId);
    EXPECT_EQ(source.image().size(), QSize(400, 200));
}

TEST(ViewerSource, ADecodeTheViewerMovedPastIsNotShown)
{
    MonitorFixture f;
    auto cache = std::make_shared<PreviewCache>();
    ViewerSource source;
    source.setMonitor(f.monitor.get());
    auto a = f.addCamera();

    addCachedPhoto(*f.monitor, *a.cam, *cache, cache, QSize(640, 480));
    const CapturedPhoto &second = addCachedPhoto(*f.monitor, *a.cam, *cache, cache, QSize(120, 90));
    const QString identity = second.id().toString(QUuid::WithoutBraces);
    QSignalSpy images(&source, &ViewerSource::imageChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return source.image().size() == QSize(120, 90); }, 5000));
    EXPECT_EQ(source.identity(), identity);
    // One decoding thread works in order: the first photo's result came back before the
    // second's, and was dropped because the viewer had moved on.
    EXPECT_EQ(images.count(), 1);
}

// A photo whose bytes do not decode is decoded once: later changes of the Monitor neither decode
// it again nor bring its thumbnail back in place of the placeholder.
TEST(ViewerSource, AnUndecodablePhotoIsDecodedOnceAndStaysThePlaceholder)
{
    MonitorFixture f;
    auto cache = std::make_shared<PreviewCache>();
    std::atomic<int> decodes = 0;
    cache->setDecoder([&decodes](const QByteArray &data, const QString &) {
        ++decodes;
        return QImage::fromData(data);
    });
    ViewerSource source;
    source.setMonitor(f.monitor.get());
    auto a = f.addCamera();
    QSignalSpy images(&source, &ViewerSource::imageChanged);

    const CapturedPhoto &broken = addCachedPhoto(*f.monitor, *a.cam, *cache, cache, {}, QByteArray(4096, 'x'));
    const std::shared_ptr<PreviewSource> preview = broken.preview;
    EXPECT_EQ(source.image().size(), QSize(32, 16)) << "the thumbnail stands in while it is decoded";
    ASSERT_TRUE(images.wait(5000));
    EXPECT_FALSE(source.hasImage());
    const int changes = int(images.count());
    for (int i = 0; i < 20; ++i) {
        a.cam->status = i % 2 ? CameraStatus::Paused : CameraStatus::Receiving;
        emit f.monitor->objectWillChange();
        EXPECT_FALSE(source.hasImage()) << "change " << i;
    }
    EXPECT_TRUE(preview->image().isNull());
    // One decoding thread works in order: once another photo is shown, every earlier request
    // has been served.
    addCachedPhoto(*f.monitor, *a.cam, *cache, cache, QSize(40, 30));
    ASSERT_TRUE(QTest::qWaitFor([&] { return source.image().size() == QSize(40, 30); }, 5000));
    EXPECT_EQ(decodes, 2) << "the undecodable photo was decoded again";
    EXPECT_EQ(images.count(), changes + 2) << "the viewer flipped while nothing new was shown";
}

// ---- Models -----------------------------------------------------------------------------------

TEST(ThumbnailModel, NewestFirstWithIncrementalInsertsAndSelection)
{
    MonitorFixture f;
    ThumbnailModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitor(f.monitor.get());
    EXPECT_EQ(model.rowCount(), 0);

    auto a = f.addCamera();
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    QList<QUuid> ids;
    for (const char *name : {"A.JPG", "B.JPG", "C.JPG"})
        ids.append(MonitorFixture::addPhoto(*f.monitor, *a.cam, QString::fromLatin1(name), name[0] != 'B').id());
    EXPECT_EQ(inserts.count(), 3);
    EXPECT_EQ(resets.count(), 0);

    auto role = [&](int row, int r) { return model.data(model.index(row), r); };
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(role(0, ThumbnailModel::FilenameRole).toString(), QStringLiteral("C.JPG"));
    EXPECT_EQ(role(2, ThumbnailModel::FilenameRole).toString(), QStringLiteral("A.JPG"));
    EXPECT_TRUE(role(0, ThumbnailModel::SelectedRole).toBool()) << "the newest is selected by default";
    EXPECT_TRUE(role(1, ThumbnailModel::UnsavedRole).toBool());
    EXPECT_FALSE(role(0, ThumbnailModel::UnsavedRole).toBool());
    EXPECT_TRUE(role(0, ThumbnailModel::HasThumbRole).toBool());

    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    f.monitor->setSelectedPhotoId(ids[1]);
    EXPECT_EQ(changes.count(), 2) << "only the old and the new selected rows change";
    EXPECT_TRUE(role(1, ThumbnailModel::SelectedRole).toBool());
    EXPECT_FALSE(role(0, ThumbnailModel::SelectedRole).toBool());

    // B's file reaches the folder later: only its row changes.
    changes.clear();
    a.cam->photos[1].storage = CapturedPhoto::Storage::Writing;
    emit f.monitor->objectWillChange();
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes[0][0].value<QModelIndex>().row(), 1);
    EXPECT_FALSE(role(1, ThumbnailModel::UnsavedRole).toBool()) << "a file being written is not marked";

    // A second camera becomes active: the strip shows its (empty) list.
    auto b = f.addCamera();
    f.monitor->setActiveCameraId(b.cam->id());
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(resets.count(), 1);
}

TEST(CameraListModel, RowsFollowCamerasAndTheirStatus)
{
    MonitorFixture f;
    CameraListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitor(f.monitor.get());
    EXPECT_EQ(model.count(), 0);
    auto a = f.addCamera(QStringLiteral("Estudio"));
    auto b = f.addCamera(QStringLiteral("Exterior"));
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.data(model.index(0), CameraListModel::NameRole).toString(), QStringLiteral("Estudio"));
    EXPECT_EQ(model.data(model.index(1), CameraListModel::NameRole).toString(), QStringLiteral("Exterior"));
    EXPECT_TRUE(model.data(model.index(0), CameraListModel::ActiveRole).toBool());
    EXPECT_EQ(model.data(model.index(0), CameraListModel::StatusTextRole).toString(), QStringLiteral("Recibiendo"));

    b.cam->status = CameraStatus::NoSignal;
    f.monitor->toggleEnabled(*a.cam);
    EXPECT_EQ(model.data(model.index(0), CameraListModel::StatusTextRole).toString(), QStringLiteral("En pausa"));
    EXPECT_FALSE(model.data(model.index(0), CameraListModel::EnabledRole).toBool());
    EXPECT_EQ(model.data(model.index(1), CameraListModel::StatusTextRole).toString(), QStringLiteral("Sin señal"));
    EXPECT_TRUE(model.data(model.index(1), CameraListModel::NoSignalRole).toBool());
}

TEST(DirectorModel, RowsInVocabularyOrderWithValueTextsAndPositions)
{
    MonitorFixture f;
    DirectorModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitor(f.monitor.get());
    EXPECT_TRUE(model.waiting());

    auto a = f.addCamera();
    a.cam->paramState[QStringLiteral("iso")] = {800, {200, 400, 800, 1600}};
    a.cam->paramState[QStringLiteral("filmSimulation")] = {21, {1, 2, 11}};
    a.cam->paramState[QStringLiteral("shutterSpeed")] = {4000, {4000}};
    a.cam->paramState[QStringLiteral("grainEffect")] = {1, {}};
    a.cam->paramState[QStringLiteral("exposureComp")] = {-3, {-3, 0, 3}};
    emit f.monitor->objectWillChange();

    EXPECT_FALSE(model.waiting());
    EXPECT_TRUE(model.exposureReported());
    ASSERT_EQ(model.rowCount(), 4) << "a key without allowed values gets no row";
    auto at = [&](int row, int role) { return model.data(model.index(row), role); };
    EXPECT_EQ(at(0, DirectorModel::LabelRole).toString(), QStringLiteral("Velocidad"));
    EXPECT_EQ(at(0, DirectorModel::ValueTextRole).toString(), QStringLiteral("1/250s"));
    EXPECT_FALSE(at(0, DirectorModel::HasSliderRole).toBool()) << "one allowed value: no slider";
    EXPECT_EQ(at(1, DirectorModel::LabelRole).toString(), QStringLiteral("ISO"));
    EXPECT_EQ(at(1, DirectorModel::PositionRole).toInt(), 2);
    EXPECT_EQ(at(2, DirectorModel::LabelRole).toString(), QStringLiteral("Simulación de película"));
    EXPECT_EQ(at(2, DirectorModel::ValueTextRole).toString(), QStringLiteral("#21"));
    EXPECT_EQ(at(2, DirectorModel::PositionRole).toInt(), 0) << "current not allowed: first position";
    EXPECT_EQ(at(3, DirectorModel::LabelRole).toString(), QStringLiteral("exposureComp"));
    EXPECT_EQ(at(3, DirectorModel::ValueTextRole).toString(), QStringLiteral("#-3"));
    EXPECT_TRUE(at(3, DirectorModel::HasSliderRole).toBool());
}

TEST(DirectorModel, MovingSendsTheAllowedValueAndKeepsRows)
{
    MonitorFixture f;
    DirectorModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitor(f.monitor.get());
    auto a = f.addCamera();
    a.cam->paramState[QStringLiteral("iso")] = {800, {200, 400, 800, 1600}};
    emit f.monitor->objectWillChange();

    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.move(0, 0.5);  // halves away from zero: index 1
    model.move(0, 2.49); // index 2
    model.move(0, 3.6);  // index 4: outside, nothing
    model.move(0, -0.6); // index -1: outside, nothing
    model.move(7, 1);    // no such row
    const QList<QJsonObject> sent = sentCommands(*a.sent);
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[0][QStringLiteral("cmd")].toString(), QStringLiteral("setParam"));
    EXPECT_EQ(sent[0][QStringLiteral("param")].toString(), QStringLiteral("iso"));
    EXPECT_EQ(sent[0][QStringLiteral("value")].toInteger(), 400);
    EXPECT_EQ(sent[1][QStringLiteral("value")].toInteger(), 800);
    EXPECT_EQ(resets.count(), 0) << "value changes refresh the row, they do not rebuild the list";
    EXPECT_EQ(model.data(model.index(0), DirectorModel::ValueTextRole).toString(), QStringLiteral("800"));
}

TEST(PhotoDetails, EveryValueMissingWithoutAPhotoAndFormattedWithOne)
{
    MonitorFixture f;
    PhotoDetails details;
    details.setMonitor(f.monitor.get());
    for (const QString &value : {details.shutter(), details.aperture(), details.iso(), details.exposure(), details.wb(),
                                 details.filename(), details.time(), details.lens(), details.size(), details.dimensions()})
        EXPECT_EQ(value, kMissing);
    EXPECT_FALSE(details.unsaved());

    auto a = f.addCamera();
    CapturedPhoto &photo = MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("DSCF0001.RAF"), false);
    EXPECT_EQ(details.size(), QStringLiteral("24.3 MB · RAW"));
    EXPECT_EQ(details.dimensions(), QStringLiteral("6240×4160"));
    EXPECT_EQ(details.time(), QStringLiteral("14:03:09"));
    EXPECT_EQ(details.filename(), QStringLiteral("DSCF0001.RAF"));
    EXPECT_TRUE(details.unsaved());
    photo.width = 0;
    photo.format.clear();
    emit f.monitor->objectWillChange();
    EXPECT_EQ(details.dimensions(), kMissing);
    EXPECT_EQ(details.size(), QStringLiteral("24.3 MB · "));
}

// ---- Drawing helpers --------------------------------------------------------------------------

TEST(PictureItem, CoverCropsToTheItemAspectAroundTheCentre)
{
    EXPECT_EQ(PictureItem::sourceRect({300, 100}, {144, 96}, false), QRectF(0, 0, 300, 100));
    EXPECT_EQ(PictureItem::sourceRect({300, 100}, {150, 100}, true), QRectF(75, 0, 150, 100));
    EXPECT_EQ(PictureItem::sourceRect({100, 300}, {100, 100}, true), QRectF(0, 100, 100, 100));
    EXPECT_EQ(PictureItem::sourceRect({0, 0}, {100, 100}, true), QRectF(0, 0, 0, 0));
}

TEST(SvgIcon, EveryNamedIconRendersInItsColour)
{
    for (const char *name : {"camera.fill", "chevron.down", "folder.fill", "slider.horizontal.3", "photo"}) {
        const QImage image = SvgIcon::render(QString::fromLatin1(name), {32, 32}, Zelv::accent());
        ASSERT_FALSE(image.isNull()) << name;
        int painted = 0;
        bool onlyAccent = true;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = QColor::fromRgba(image.pixel(x, y));
                if (c.alpha() == 255) {
                    ++painted;
                    onlyAccent = onlyAccent && c.rgb() == Zelv::accent().rgb();
                }
            }
        }
        EXPECT_GT(painted, 20) << name << " draws something";
        EXPECT_TRUE(onlyAccent) << name << " is drawn in the given colour only";
    }
    EXPECT_TRUE(SvgIcon::render(QStringLiteral("no.such.icon"), {16, 16}, Qt::white).isNull());
}

// Quitting: asks only while photos are not stored; a chosen folder quits once they are on disk.
TEST(QuitGuard, QuitsAtOnceWhenEveryPhotoIsStored)
{
    MonitorFixture f;
    auto a = f.addCamera();
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("a.jpg"));
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("b.jpg")).storage = CapturedPhoto::Storage::Writing;
    QuitGuard guard;
    guard.setMonitor(f.monitor.get());
    QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);
    EXPECT_TRUE(guard.mayQuit()) << "a photo being written is finished before the process exits";
    EXPECT_FALSE(guard.asking());
    EXPECT_EQ(confirmed.count(), 1);
}

TEST(QuitGuard, AsksWithTheCountAndFollowsTheAnswer)
{
    MonitorFixture f;
    auto a = f.addCamera();
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("a.jpg"), false);
    QuitGuard guard;
    guard.setMonitor(f.monitor.get());
    QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);

    EXPECT_FALSE(guard.mayQuit());
    EXPECT_TRUE(guard.asking());
    EXPECT_EQ(guard.message(), QStringLiteral("1 foto no se ha guardado en la carpeta de capturas y se perderá si sales."));
    guard.cancel();
    EXPECT_FALSE(guard.asking());

    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("b.jpg"), false);
    EXPECT_FALSE(guard.mayQuit());
    EXPECT_EQ(guard.unsavedCount(), 2);
    EXPECT_EQ(guard.message(), QStringLiteral("2 fotos no se han guardado en la carpeta de capturas y se perderán si sales."));
    EXPECT_EQ(confirmed.count(), 0);
    guard.quitWithoutSaving();
    EXPECT_EQ(confirmed.count(), 1);
    EXPECT_FALSE(guard.asking());
    EXPECT_TRUE(guard.mayQuit()) << "once confirmed, closing the window does not ask again";
}

TEST(QuitGuard, ChosenFolderQuitsOnceThePhotosAreOnDiskAndAsksAgainIfItFails)
{
    MonitorFixture f;
    auto a = f.addCamera();
    QByteArray png;
    {
        QBuffer buffer(&png);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
        ASSERT_TRUE(testImage(64, 48).save(&buffer, "PNG"));
    }
    f.monitor->handleFile(QStringLiteral("a.png"), png, *a.cam); // no folder yet: kept in memory
    f.monitor->handleFile(QStringLiteral("b.png"), png, *a.cam);
    QuitGuard guard;
    guard.setMonitor(f.monitor.get());
    QSignalSpy confirmed(&guard, &QuitGuard::quitConfirmed);
    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    ASSERT_FALSE(guard.mayQuit());

    // The chooser closed without a folder: the question is back.
    guard.chooseFolder();
    EXPECT_EQ(chooser.count(), 1);
    EXPECT_FALSE(guard.asking());
    emit f.monitor->objectWillChange(); // unrelated changes while the chooser is open
    EXPECT_FALSE(guard.asking());
    guard.folderChoiceCancelled();
    EXPECT_TRUE(guard.asking());

    // A folder that cannot be made: the writes fail and the question is asked again.
    QFile blocker(f.dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    guard.chooseFolder();
    f.monitor->useChosenFolder(QUrl::fromLocalFile(f.dir.filePath(QStringLiteral("file/sub"))));
    guard.folderChosen();
    EXPECT_TRUE(guard.saving());
    QTRY_VERIFY_WITH_TIMEOUT(guard.asking(), 10000);
    EXPECT_EQ(guard.unsavedCount(), 2);
    EXPECT_EQ(confirmed.count(), 0);

    // A working folder: confirmed only when both files are complete.
    const QString folder = f.dir.filePath(QStringLiteral("Capturas"));
    int filesWhenConfirmed = -1;
    QObject::connect(&guard, &QuitGuard::quitConfirmed, [&] {
        filesWhenConfirmed = int(QDir(folder).entryList(QDir::Files).size());
    });
    guard.chooseFolder();
    f.monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    guard.folderChosen();
    EXPECT_FALSE(guard.mayQuit()) << "still writing";
    ASSERT_TRUE(confirmed.wait(10000));
    EXPECT_EQ(filesWhenConfirmed, 2);
    EXPECT_EQ(f.monitor->photoCount(CapturedPhoto::Storage::Stored), 2);
    EXPECT_FALSE(guard.asking());
}

} // namespace
