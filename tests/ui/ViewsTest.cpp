// The views as a person sees them, over a prepared window state in a real window: checked for
// their texts, elements and sizes, and driven with synthetic clicks, drags and pinches; any QML
// warning fails the test. The Rendered suite, which saves screenshots of the main layouts under
// artifacts/ (named after the renderer), is the part that runs a second time on OpenGL.
#include <QAbstractItemModelTester>
#include <QDir>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickView>
#include <QSGRendererInterface>

#include <gmock/gmock.h>

#include "UiFixtures.h"
#include "KeyCommands.h"
#include "ZoomArea.h"
#include "Zelv.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

using ::testing::IsSupersetOf;

// Every item below `root` in the visual tree, depth first.
QList<QQuickItem *> itemsBelow(QQuickItem *root)
{
    QList<QQuickItem *> items{root};
    for (QQuickItem *child : root->childItems())
        items += itemsBelow(child);
    return items;
}

QPoint centre(QQuickItem *item)
{
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
}

// One view of the module, with the window state as its required `ws`, filling a window.
struct ViewHarness : QQuickView {
    ViewHarness(const QString &type, WindowState &ws, QSize size)
    {
        engine()->addImportPath("qrc:/qt/qml");
        QObject::connect(engine(), &QQmlEngine::warnings, [](const QList<QQmlError> &warnings) {
            for (const QQmlError &warning : warnings)
                ADD_FAILURE() << warning.toString().toStdString();
        });
        setInitialProperties({{"ws", QVariant::fromValue(&ws)}});
        setResizeMode(SizeRootObjectToView);
        setColor(Zelv::surface());
        resize(size);
        setSource(QUrl("qrc:/qt/qml/Halvane/Ui/qml/" + type + ".qml"));
        show();
    }
    [[nodiscard]] bool ok() { return status() == Ready && QTest::qWaitForWindowExposed(this); }

    // Waits for the next rendered frame, which polishes every item (bindings and layouts) first.
    void settle()
    {
        QSignalSpy frame(this, &QQuickWindow::frameSwapped);
        update();
        EXPECT_TRUE(frame.wait(2000));
    }

    // The visible items (popups in the overlay included) with this object name, in tree order.
    QList<QQuickItem *> named(const QString &name)
    {
        QList<QQuickItem *> found;
        for (QQuickItem *item : itemsBelow(contentItem()))
            if (item->isVisible() && item->objectName() == name)
                found.append(item);
        return found;
    }
    QQuickItem *one(const QString &name) { return named(name).size() == 1 ? named(name)[0] : nullptr; }

    // The texts shown (visible Text items), or the texts of the items named `name`, in tree order.
    QStringList texts(const QString &name = {})
    {
        QStringList found;
        for (QQuickItem *item : itemsBelow(contentItem()))
            if (name.isEmpty() ? item->isVisible() && item->inherits("QQuickText") : item->objectName() == name)
                found.append(item->property("text").toString());
        return found;
    }

    void click(QQuickItem *item) { QTest::mouseClick(this, Qt::LeftButton, {}, centre(item)); }
    void drag(QPoint from, QPoint by, int steps = 6)
    {
        QTest::mousePress(this, Qt::LeftButton, {}, from);
        for (int i = 1; i <= steps; ++i)
            QTest::mouseMove(this, from + by * i / steps);
        QTest::mouseRelease(this, Qt::LeftButton, {}, from + by);
    }

    void save(const QString &name)
    {
        settle();
        const bool gl = rendererInterface()->graphicsApi() != QSGRendererInterface::Software;
        QDir().mkpath(HALVANE_UI_ARTIFACTS);
        EXPECT_TRUE(grabWindow().save(QString(HALVANE_UI_ARTIFACTS "/%1-%2.png").arg(name, gl ? "gl" : "software")));
    }
};

// The whole window through a session: no camera, a camera with photos, the viewer, director
// mode with live view, the camera popover, and the question before quitting with unsaved photos.
TEST(Rendered, TheWindowThroughASession)
{
    MonitorFixture f;
    QAbstractItemModelTester thumbsTester(f.ws.thumbnails(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester camerasTester(f.ws.cameras(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester paramsTester(f.ws.params(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    QQuickItem *selector = h.one("cameraSelector"), *shutter = h.one("shutterButton");
    QQuickItem *director = h.one("directorButton");
    ASSERT_TRUE(selector && shutter && director);
    EXPECT_THAT(h.texts(), IsSupersetOf({"Esperando fotos…", "Sin cámara", "Esperando conexión", "—"}));
    EXPECT_FALSE(h.one("leftColumn") || h.one("photoCount") || shutter->isEnabled());
    EXPECT_EQ(shutter->opacity(), 0.45);
    h.save("empty");

    // The body: empty for a camera without signal and without photos, the column otherwise.
    CameraConnection &a = f.addCamera("Cámara estudio", CameraStatus::NoSignal);
    EXPECT_TRUE(h.texts().contains("Esperando fotos…") && shutter->isEnabled());
    a.status = CameraStatus::Paused;
    f.changed();
    QQuickItem *column = h.one("leftColumn"), *sidebar = h.one("metadataSidebar");
    ASSERT_TRUE(column && sidebar);
    EXPECT_THAT(h.texts(), IsSupersetOf({"Cámara estudio", "0", "Última foto capturada", "Aún no hay fotos",
                                         "AJUSTES DE CÁMARA", "Obturador", "Apertura", "ISO", "Exposición",
                                         "Balance de blancos", "ARCHIVO", "Nombre", "Hora", "Lente", "Tamaño",
                                         "Dimensiones"}));
    EXPECT_EQ(h.texts("value"), QStringList(10, "—"));
    h.settle();
    EXPECT_EQ(QSizeF(sidebar->width(), column->width()), QSizeF(236, 1180 - 236 - 1)) << "the column takes the rest";

    // Three photos, B not stored: the strip shows them newest first, C selected, B marked; the
    // camera is without signal, but has photos to show.
    QSignalSpy thumbInserts(f.ws.thumbnails(), &QAbstractItemModel::rowsInserted);
    QSignalSpy thumbChanges(f.ws.thumbnails(), &QAbstractItemModel::dataChanged);
    QStringList ids;
    a.status = CameraStatus::NoSignal;
    for (const QString name : {"IMG_0001.RAW", "IMG_with_a_rather_long_name_0002.RAW", "IMG_0003.RAW"})
        ids.append(f.addPhoto(a, name, !name.contains("long")).id().toString(QUuid::WithoutBraces));
    EXPECT_EQ(h.texts("value"), QStringList({"1/250", "f/2.8", "400", "+0.7", "AUTO", "IMG_0003.RAW", "14:03:09",
                                             "33mm F1.4 @33mm", "24.3 MB · RAW", "6240×4160"}));
    EXPECT_EQ(thumbInserts.count(), 3) << "one inserted row per photo";
    h.save("normal");

    // Photos of an earlier run were recovered: told once, over the window, until closed.
    emit f.monitor.store().recovered(3, "/srv/Capturas");
    h.save("recovered");
    EXPECT_THAT(h.texts(), IsSupersetOf({"Fotos recuperadas", "Entendido",
                                         "Se han recuperado 3 fotos de la sesión anterior que no se habían guardado. "
                                         "Están en la carpeta de capturas: /srv/Capturas"}));
    h.click(h.one("recoveryClose"));
    h.settle();
    EXPECT_TRUE(f.monitor.recoveredCount() == 0 && !h.one("recoveryNotice"));
    QList<QQuickItem *> tiles = h.named("tile");
    std::sort(tiles.begin(), tiles.end(), [](QQuickItem *l, QQuickItem *r) { return l->x() < r->x(); });
    ASSERT_EQ(tiles.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tiles[i]->property("photoId").toString(), ids[2 - i]) << "newest first";
        EXPECT_EQ(tiles[i]->property("selected").toBool(), i == 0) << "the newest is selected";
        EXPECT_EQ(tiles[i]->property("unsaved").toBool(), i == 1) << "only B was not stored";
    }
    a.status = CameraStatus::Receiving;

    // The viewer fits the 3:2 preview, zooms on a double click (animated) and pans by drags.
    auto *viewer = qobject_cast<ZoomArea *>(h.one("fitImageView"));
    QQuickItem *card = h.one("imageCard");
    ASSERT_TRUE(viewer && card);
    EXPECT_EQ(viewer->identity(), ids[2]);
    EXPECT_EQ(viewer->width(), column->width() - 2 * 18);
    EXPECT_EQ(card->size(), QSizeF(viewer->height() * 1.5, viewer->height()));
    const QPoint c = centre(viewer);
    h.drag(c, {30, -20});
    EXPECT_EQ(viewer->offset(), QPointF()) << "a fitted image does not move";
    QTest::mouseDClick(&h, Qt::LeftButton, {}, c);
    EXPECT_EQ(viewer->zoom(), 2.5);
    EXPECT_LT(viewer->shownScale(), 2.5) << "the change is animated";
    ASSERT_TRUE(QTest::qWaitFor([&] { return card->scale() == 2.5; }));
    const QPoint cardAt = centre(card);
    h.drag(c, {30, -20});
    EXPECT_EQ(centre(card), cardAt + QPoint(30, -20)) << "the image moves by exactly the drag";
    h.drag(c, {6, 6}, 2); // under 10 points: not a drag
    h.drag(c, {0, 12}, 1);
    EXPECT_EQ(viewer->offset(), QPointF(30, -8)) << "each drag continues from the last";
    QTest::mouseDClick(&h, Qt::LeftButton, {}, c);
    ASSERT_TRUE(QTest::qWaitFor([&] { return card->scale() == 1.0; }));
    EXPECT_EQ(viewer->offset(), QPointF());

    // Pinches: deltas multiply (1 + d); a pinch starts once the factor is 0.01 away from 1, shows
    // any scale, and commits within 1 to 6; at or below 1.01 the view is fitted, with no pan.
    auto gesture = [&](Qt::NativeGestureType type, double value) {
        QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, c, c, h.mapToGlobal(c), value,
                                  {});
        QCoreApplication::sendEvent(&h, &event);
        return card->scale();
    };
    auto pinch = [&](double delta) {
        gesture(Qt::BeginNativeGesture, 0);
        gesture(Qt::ZoomNativeGesture, delta);
        return gesture(Qt::EndNativeGesture, 0);
    };
    gesture(Qt::BeginNativeGesture, 0);
    EXPECT_EQ(gesture(Qt::ZoomNativeGesture, 0.005), 1.0);
    EXPECT_GT(gesture(Qt::ZoomNativeGesture, 0.006), 1.01);
    EXPECT_GT(gesture(Qt::ZoomNativeGesture, 6.0), 7.0);
    EXPECT_EQ(gesture(Qt::EndNativeGesture, 0), 6.0);
    EXPECT_EQ(pinch(-0.9), 1.0);
    EXPECT_EQ(pinch(1.0), 2.0);
    h.drag(c, {10, 10});
    EXPECT_EQ(pinch(-0.495), 1.0) << "1.01";
    EXPECT_EQ(viewer->offset(), QPointF());
    EXPECT_EQ(pinch(0.02), 1.02);

    // Clicking B frames it and shows it afresh; its name is marked.
    // A's file goes missing: only the two tiles whose selection changed and A's are updated.
    thumbChanges.clear();
    h.click(tiles[1]);
    a.photos[0].storage = CapturedPhoto::Storage::NotStored;
    f.changed();
    EXPECT_EQ(thumbChanges.count(), 3);
    EXPECT_EQ(viewer->identity(), ids[1]);
    EXPECT_EQ(card->scale(), 1.0);
    EXPECT_TRUE(tiles[1]->property("selected").toBool() && !tiles[0]->property("selected").toBool());
    EXPECT_EQ(h.named("unsavedMark").size(), 3) << "on A, on B and beside B's name";
    EXPECT_EQ(static_cast<FixedPreview &>(*a.photos[1].preview).calls, 2) << "decoded once each time it is shown";
    h.save("metadata-unsaved");

    // A photo without a preview: the placeholder. Its file is being written: it does not count as
    // unsaved.
    CapturedPhoto &d = f.addPhoto(a, "D.JPG");
    d.preview.reset();
    d.storage = CapturedPhoto::Storage::Writing;
    f.monitor.setSelectedPhotoId(d.id());
    EXPECT_TRUE(h.one("placeholder") && h.texts().contains("Última foto capturada"));

    // Director mode: the same column, and the director sidebar waiting for the parameters.
    h.click(director);
    EXPECT_TRUE(director->property("tinted").toBool() && h.one("directorSidebar") && !h.one("metadataSidebar"));
    EXPECT_THAT(h.texts(),
                IsSupersetOf({"Live view", "Esperando parámetros de la cámara…", "no soportado", "AF", "Enfocar"}));
    QQuickItem *exposure = h.one("exposureSlider");
    ASSERT_TRUE(exposure && !exposure->isEnabled());
    EXPECT_EQ(exposure->opacity(), 0.45);

    // The parameters in display order; no row without allowed values, no slider with one.
    a.paramState = {{"filmSimulation", {21, {1, 2, 11, 12, 16}}}, {"iso", {800, {200, 400, 800, 1600, 3200}}},
                    {"shutterSpeed", {4000, {4000}}}, {"grainEffect", {1, {}}}, {"exposureComp", {0, {-3, 0, 3}}}};
    a.liveFrame = SampleFiles::solid(QSize(1280, 853), qRgb(0x40, 0x80, 0x50));
    f.changed();
    h.save("director");
    EXPECT_EQ(column->width(), 1180 - 236 - 1);
    EXPECT_EQ(h.texts("paramLabel"), QStringList({"Velocidad", "ISO", "Simulación de película", "exposureComp"}));
    EXPECT_EQ(h.texts("paramValue"), QStringList({"1/250s", "800", "#21", "#0"}));
    EXPECT_FALSE(h.texts().contains("Esperando parámetros de la cámara…") || h.texts().contains("no soportado"));
    EXPECT_EQ(exposure->opacity(), 1.0);
    for (QQuickItem *label : h.named("paramLabel")) {
        EXPECT_GE(label->width() + 0.5, label->implicitWidth()) << "labels show in full";
        EXPECT_LE(label->parentItem()->width(), 236 - 32 + 0.5) << "nothing is wider than the sidebar";
    }
    QList<qreal> positions;
    for (QQuickItem *slider : h.named("paramSlider"))
        positions += {slider->property("value").toReal(), slider->property("to").toReal()};
    EXPECT_EQ(positions, QList<qreal>({2, 4, 0, 4, 1, 2})) << "at the current value, or the first one";
    EXPECT_EQ(f.ws.params()->index(2).data(DirectorModel::PositionRole).toInt(), 0) << "not -1, clamped by the slider";

    // Dragging the ISO handle from 800 to the left end sends every step on the way (400, 200); a
    // position between two steps sends the nearest, halves away from zero; outside, nothing.
    QQuickItem *iso = h.named("paramSlider")[0];
    const QPoint from = centre(iso->property("handle").value<QQuickItem *>());
    h.drag(from, iso->mapToScene({2, iso->height() / 2}).toPoint() - from, 12);
    for (const double position : {0.5, 2.49, 4.6, -0.6})
        f.ws.params()->move(1, position);
    h.drag(centre(exposure), {60, 0}, 1);
    EXPECT_EQ(exposure->property("value").toReal(), 0) << "the exposure slider never moves";
    h.click(h.one("focusButton"));
    EXPECT_EQ(f.commands(a), QStringList({"requestState", "setParam iso 400", "setParam iso 200", "setParam iso 400",
                                          "setParam iso 800", "shutter"}));

    // A zoom and pan of the live view stay while its frames arrive, drawn by the same item.
    QQuickItem *picture = h.one("picture");
    EXPECT_EQ(viewer->identity(), "live-" + a.id().toString(QUuid::WithoutBraces).toUpper());
    QTest::mouseDClick(&h, Qt::LeftButton, {}, c);
    const int uploads = picture->property("uploads").toInt();
    a.liveFrame = SampleFiles::solid(QSize(1280, 853), qRgb(0, 0x80, 0x80));
    f.changed();
    h.settle();
    EXPECT_TRUE(picture->property("uploads").toInt() > uploads && h.one("picture") == picture);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !viewer->animating() && viewer->zoom() == 2.5; }));

    // The popover, opened below the selector: switches pause and resume; a click on a row (also
    // one without signal) makes its camera active and leaves it open; the selector closes it.
    CameraConnection &b = f.addCamera("Exterior", CameraStatus::NoSignal);
    h.click(selector);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.monitor.cameraPopoverOpen() && h.one("cameraPopover"); }));
    h.save("popover");
    QQuickItem *popover = h.one("cameraPopover");
    EXPECT_GT(popover->mapToScene({}).y(), selector->mapToScene({0, selector->height()}).y()) << "below the selector";
    const QList<QQuickItem *> rows = h.named("cameraRow"), switches = h.named("receptionSwitch");
    ASSERT_EQ(rows.size() + switches.size(), 4);
    EXPECT_THAT(h.texts(), IsSupersetOf({"Recibiendo", "Exterior", "Sin señal"}));
    EXPECT_EQ(QList<qreal>({rows[0]->opacity(), rows[1]->opacity()}), QList<qreal>({1.0, 0.45}));
    EXPECT_TRUE(switches[0]->isEnabled() && !switches[1]->isEnabled());
    h.click(switches[0]);
    EXPECT_TRUE(!a.enabled && h.texts().contains("En pausa"));
    h.click(switches[0]);
    EXPECT_EQ(a.status, CameraStatus::Receiving);
    QTest::mouseClick(&h, Qt::LeftButton, {}, rows[1]->mapToScene({20, rows[1]->height() / 2}).toPoint());
    EXPECT_EQ(f.monitor.activeCamera(), &b);
    h.click(selector);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.monitor.cameraPopoverOpen() && !h.one("cameraPopover"); }));
    f.monitor.setCameraPopoverOpen(true);
    QTest::mouseClick(&h, Qt::LeftButton, {}, {600, 300});
    EXPECT_FALSE(f.monitor.cameraPopoverOpen()) << "a click outside closes it";

    QSignalSpy chooser(&f.monitor, &Monitor::folderChooserRequested);
    h.click(shutter);
    h.click(h.one("folderButton"));
    EXPECT_EQ(f.commands(b), QStringList({"requestState", "shutter"}));
    EXPECT_EQ(chooser.count(), 1);

    // A right click opens the window's menu; its one item asks first about the two photos only
    // in memory. Choosing a folder and closing the chooser brings the question back; "Salir sin
    // guardar" confirms.
    // They fail in a folder that has gone: the folder button warns, and says why on hover.
    f.monitor.setFolder(f.dir.filePath("gone"));
    for (int i = 0; i < 2; ++i)
        f.monitor.handleFile("q.png", "bytes", a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.monitor.folderFailing() && f.monitor.store().writesInFlight() == 0; }));
    h.save("folder-failing");
    EXPECT_TRUE(h.texts("help").join('|').contains("Las fotos esperan en el disco"));
    QSignalSpy confirmed(f.ws.quitGuard(), &QuitGuard::quitConfirmed);
    QTest::mouseClick(&h, Qt::RightButton, {}, {600, 400});
    h.settle();
    ASSERT_TRUE(h.texts().contains("Quit Halvane"));
    h.click(h.one("quitItem"));
    h.save("quit-question");
    EXPECT_THAT(h.texts(), IsSupersetOf({"¿Salir de Halvane?", "Elegir carpeta…", "Salir sin guardar", "Cancelar",
                                         "2 fotos no se han guardado en la carpeta de capturas y se perderán si sales."}));
    h.click(h.one("quitChooseFolder"));
    f.ws.quitGuard()->folderChoiceCancelled();
    h.settle();
    EXPECT_EQ(QList<qsizetype>({chooser.count(), confirmed.count()}), QList<qsizetype>({2, 0}));
    h.click(h.one("quitDiscard"));
    EXPECT_EQ(confirmed.count(), 1);
}

// The viewer's aids over a photo and over live view: the histogram in both sidebars (under the
// file rows; above the parameters), the toggles in a corner of the viewer, the masks and the grid
// over the image in its card.
TEST(Rendered, TheViewerAidsOverAPhotoAndLiveView)
{
    MonitorFixture f;
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    // A black-to-white ramp (crushed at the left, blown at the right) under two sharp boxes.
    QImage scene(1200, 800, QImage::Format_RGB32);
    QPainter painter(&scene);
    QLinearGradient ramp(0, 0, 1200, 0);
    ramp.setColorAt(0.1, Qt::black);
    ramp.setColorAt(0.9, Qt::white);
    painter.fillRect(scene.rect(), ramp);
    painter.fillRect(150, 250, 300, 300, QColor(235, 225, 200));
    painter.fillRect(750, 250, 300, 300, QColor(30, 40, 70));
    painter.end();
    CameraConnection &a = f.addCamera("Cámara estudio");
    f.addPhoto(a, "IMG_0001.RAW", true, scene);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.ws.aids()->hasHistogram(); }));
    QQuickItem *histogram = h.one("histogram"), *dimensions = h.one("row:Dimensiones");
    ASSERT_TRUE(histogram && dimensions);
    EXPECT_EQ(histogram->size(), QSizeF(236 - 32, 80));
    EXPECT_GT(histogram->mapToScene({}).y(), dimensions->mapToScene({0, dimensions->height()}).y());
    EXPECT_THAT(h.texts("help"), IsSupersetOf({"Avisos de recorte", "Realce de enfoque", "Cuadrícula"}));

    // Clipping and the grid on; peaking is dimmed and does nothing outside director mode.
    QQuickItem *clipping = h.one("toggle:clipping"), *peaking = h.one("toggle:peaking"), *grid = h.one("toggle:grid");
    ASSERT_TRUE(clipping && peaking && grid);
    EXPECT_TRUE(!peaking->isEnabled() && peaking->opacity() == 0.45);
    for (QQuickItem *toggle : {clipping, peaking, grid})
        h.click(toggle);
    const ViewOptions &options = *f.ws.viewOptions();
    EXPECT_TRUE(options.clipping() && !options.peaking() && options.grid());
    QQuickItem *clipMask = h.one("clippingMask");
    ASSERT_TRUE(clipMask && h.one("thirdsGrid") && !h.one("peakingMask"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return clipMask->property("uploads").toInt() > 0; }));
    EXPECT_EQ(clipMask->property("imageSize").toSizeF(), QSizeF(1200, 800));
    EXPECT_EQ(clipMask->size(), h.one("imageCard")->size());
    h.save("aids-photo");

    // Director mode, live view: the histogram between the badge and the parameters; peaking on.
    a.paramState = {{"iso", {800, {200, 400, 800}}}};
    a.liveFrame = scene.mirrored(true, false);
    f.ws.toggleDirectorMode();
    QQuickItem *badge = h.one("badge"), *iso = h.one("param:iso");
    histogram = h.one("histogram");
    ASSERT_TRUE(badge && iso && histogram);
    h.settle();
    EXPECT_GT(histogram->mapToScene({}).y(), badge->mapToScene({0, badge->height()}).y());
    EXPECT_LT(histogram->mapToScene({0, histogram->height()}).y(), iso->mapToScene({}).y());
    EXPECT_EQ(histogram->width(), 236 - 32);
    h.click(peaking);
    QQuickItem *peakMask = h.one("peakingMask");
    ASSERT_TRUE(options.peaking() && peakMask);
    ASSERT_TRUE(QTest::qWaitFor([&] { return peakMask->property("uploads").toInt() > 0; }));
    h.save("aids-director");
}

// The window's keys, pressed as a person would, and the wheel over the viewer. The strip shows
// the newest photo first: Left and Right step towards its ends and stop there, Home and End jump
// to them, and the strip scrolls to show the photo chosen.
TEST(Rendered, TheKeysAndTheWheel)
{
    MonitorFixture f;
    CameraConnection &a = f.addCamera("Cámara estudio");
    QStringList ids; // oldest first
    for (int i = 0; i < 12; ++i)
        ids.append(f.addPhoto(a, QString("IMG_%1.RAW").arg(i)).id().toString(QUuid::WithoutBraces));
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    h.requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&h));
    QQuickItem *strip = h.one("strip"), *card = h.one("imageCard");
    auto *viewer = qobject_cast<ZoomArea *>(h.one("fitImageView"));
    ASSERT_TRUE(strip && viewer && card);
    // The selected photo's index after `key`.
    auto press = [&](int key) {
        QTest::keyClick(&h, Qt::Key(key));
        return int(ids.indexOf(f.monitor.selectedPhoto()->id().toString(QUuid::WithoutBraces)));
    };
    EXPECT_EQ(QList<int>({press(Qt::Key_Left), press(Qt::Key_Right), press(Qt::Key_Right), press(Qt::Key_Home),
                          press(Qt::Key_End), press(Qt::Key_Right), press(Qt::Key_Left)}),
              QList<int>({11, 10, 9, 11, 0, 0, 1}));
    h.settle();
    int inView = 0;
    for (QQuickItem *tile : h.named("tile"))
        inView += tile->property("selected").toBool() && tile->mapToItem(strip, {tile->width(), 0}).x() <= strip->width();
    EXPECT_EQ(inView, 1) << "the selected tile is scrolled into view";

    // Space does what a double click does; one notch of the wheel zooms by 2^(1/3) about the
    // pointer, the part of the image under it staying there.
    QTest::keyClick(&h, Qt::Key_Space);
    EXPECT_EQ(viewer->zoom(), 2.5);
    QTest::keyClick(&h, Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return card->scale() == 1.0 && !viewer->zoomedIn(); }));
    const QPoint at = centre(viewer) + QPoint(150, -70);
    const QPointF under = card->mapFromScene(at);
    QWheelEvent notch(at, h.mapToGlobal(at), {}, {0, 120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&h, &notch);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->animating(); }));
    EXPECT_TRUE(viewer->zoomedIn());
    EXPECT_LT((card->mapFromScene(at) - under).manhattanLength(), 0.01);

    // J, P and G turn the view's aids on and off, D director mode; F asks for full screen, and
    // Escape leaves it, only then (the window answers in the shell test).
    QSignalSpy fullScreen(f.ws.keys(), &KeyCommands::fullScreenRequested);
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_J, Qt::Key_P, Qt::Key_G, Qt::Key_G, Qt::Key_D, Qt::Key_F})
        QTest::keyClick(&h, key);
    const ViewOptions &options = *f.ws.viewOptions();
    EXPECT_EQ(QList<bool>({options.clipping(), options.peaking(), options.grid(), f.monitor.directorModeOn()}),
              QList<bool>({true, true, false, true}));
    EXPECT_EQ(fullScreen, QList<QList<QVariant>>({{true}}));

    // "?" lists the keys over the window, where other keys do nothing; "?" again, Escape or a click
    // close it.
    for (const char close : {'?', '\x1b', ' '}) {
        QTest::keyClick(&h, '?');
        QTest::keyClick(&h, Qt::Key_D);
        ASSERT_TRUE(h.one("keysOverlay"));
        close == ' ' ? QTest::mouseClick(&h, Qt::LeftButton, {}, {40, 300}) : QTest::keyClick(&h, close);
        EXPECT_TRUE(!h.one("keysOverlay") && f.monitor.directorModeOn()) << int(close);
    }
    QTest::keyClick(&h, '?');
    EXPECT_THAT(h.texts(), IsSupersetOf({"Atajos de teclado", "Avisos de recorte", "Realce de enfoque", "Cuadrícula",
                                         "Esc", "Salir de pantalla completa", "?"}));
    h.save("keys");
    QTest::keyClick(&h, '?');

    // No key fires while the popover is open, a menu has the focus (Escape still closes it), or a
    // text field has it.
    f.monitor.setCameraPopoverOpen(true);
    EXPECT_FALSE(f.ws.keys()->enabled());
    f.monitor.setCameraPopoverOpen(false);
    QTest::mouseClick(&h, Qt::RightButton, {}, {600, 400});
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.one("showInFolderItem") && !f.ws.keys()->enabled(); }));
    QTest::keyClick(&h, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.one("showInFolderItem") && f.ws.keys()->enabled(); }));
    QQmlComponent field(h.engine());
    field.setData("import QtQuick\nTextInput { width: 100; height: 20 }", {});
    std::unique_ptr<QObject> text(field.createWithInitialProperties({{"parent", QVariant::fromValue(h.rootObject())}}));
    ASSERT_TRUE(text && QMetaObject::invokeMethod(text.get(), "forceActiveFocus"));
    QTest::keyClick(&h, 'd');
    EXPECT_EQ(std::tuple(text->property("text").toString(), f.ws.keys()->enabled(), f.monitor.directorModeOn()),
              std::tuple(QString("d"), false, true));
}

// With no portal on the bus (these tests run without a session bus) a request opens the window's
// own chooser over the window, at the start folder and listing folders only. "Cancelar" answers
// the quit question's request by asking again; a click opens a folder and "Usar esta carpeta" makes
// it the capture folder.
TEST(Rendered, TheInWindowFolderChooser)
{
    MonitorFixture f;
    QTemporaryDir photos;
    ASSERT_TRUE(QDir(photos.path()).mkpath("Sesión A/Tomas") && QDir(photos.path()).mkpath("Sesión B"));
    ASSERT_TRUE(QFile(photos.filePath("nota.txt")).open(QIODevice::WriteOnly));
    f.monitor.useChosenFolder(QUrl::fromLocalFile(photos.path()));
    f.addPhoto(f.addCamera("Cámara estudio"), "DSC_0001.RAF");
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    QQmlComponent component(h.engine(), QUrl("qrc:/qt/qml/Halvane/Ui/qml/FolderChooserView.qml"));
    std::unique_ptr<QObject> view(component.createWithInitialProperties({{"ws", QVariant::fromValue(&f.ws)}}));
    ASSERT_TRUE(view) << component.errorString().toStdString();
    qobject_cast<QQuickItem *>(view.get())->setParentItem(h.rootObject());

    f.ws.quitGuard()->chooseFolder();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.named("folderRow").size() == 2; }));
    EXPECT_EQ(h.texts("folderPath"), QStringList{photos.path()});
    EXPECT_THAT(h.texts(), IsSupersetOf({"Elige la carpeta donde se guardarán las fotos entrantes.", "Sesión A",
                                         "Sesión B", "Cancelar", "Usar esta carpeta"}));
    EXPECT_FALSE(h.texts().contains("nota.txt"));
    h.save("folder-chooser");
    h.click(h.one("folderCancel"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.one("folderBrowser") && f.ws.quitGuard()->asking(); }));
    f.ws.quitGuard()->cancel();

    f.monitor.chooseFolder();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.named("folderRow").size() == 2; }));
    h.click(h.named("folderRow")[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.texts("folderRow") == QStringList{"Tomas"}; }));
    h.click(h.one("folderAccept"));
    EXPECT_EQ(f.monitor.folder(), photos.filePath("Sesión A"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.one("folderBrowser"); }));
}

// A right click on a tile opens the file menu of its photo, not the window's; on the viewer, that
// of the selected photo, and in live view that of none. Its items wait until the file is stored.
// Without a session bus (as here) "Mostrar en la carpeta" opens the folder.
TEST(Rendered, TheFileMenusOfTheTilesAndTheViewer)
{
    MonitorFixture f;
    QList<QUrl> opened;
    f.ws.files()->setUrlOpener([&](const QUrl &url) { return opened.append(url), true; });
    CameraConnection &a = f.addCamera();
    f.addPhoto(a, "A.JPG").storedPath = "/srv/A.JPG";
    f.addPhoto(a, "B.JPG", false).storedPath = "/srv/B.JPG"; // its file went missing
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    auto enabledItemsAt = [&](QPoint at) {
        QTest::mouseClick(&h, Qt::RightButton, {}, at);
        EXPECT_TRUE(QTest::qWaitFor([&] { return h.one("openWithItem") && !h.texts().contains("Quit Halvane"); }));
        return h.one("showInFolderItem")->isEnabled() + h.one("openWithItem")->isEnabled();
    };
    QQuickItem *tileA = h.named("tile")[1], *viewer = h.one("fitImageView");
    EXPECT_EQ(enabledItemsAt(centre(tileA) + QPoint(30, 20)), 2);
    h.save("file-menu-tile");
    h.click(h.one("openWithItem"));
    EXPECT_EQ(enabledItemsAt(centre(viewer)), 0) << "B is selected and not stored";
    h.save("file-menu-viewer");
    a.photos[1].storage = CapturedPhoto::Storage::Stored;
    f.changed();
    h.click(h.one("showInFolderItem"));
    EXPECT_EQ(opened, QList<QUrl>({QUrl::fromLocalFile("/srv/A.JPG"), QUrl::fromLocalFile("/srv")}));
    f.monitor.setDirectorModeOn(true);
    EXPECT_EQ(enabledItemsAt(centre(viewer)), 0) << "a live frame has no file";
}

} // namespace
