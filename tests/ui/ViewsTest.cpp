// The views as a person sees them: each view is loaded with prepared state in a real window,
// checked for its texts, elements and their state, and driven with synthetic clicks, drags and
// pinches. Screenshots of the main layouts are saved under artifacts/.
#include <QDir>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "UiFixtures.h"
#include "ViewerSource.h"
#include "ZoomArea.h"
#include "Zelv.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

// Every item below `root` in the visual tree, depth first.
void collect(QQuickItem *root, QList<QQuickItem *> &out)
{
    out.append(root);
    for (QQuickItem *child : root->childItems())
        collect(child, out);
}

// One view of the module, created from QML with the Monitor as its required `m`, in a window.
class ViewHarness
{
public:
    ViewHarness(const QString &type, Monitor &monitor, QSize size)
    {
        m_engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
        QQmlComponent component(&m_engine);
        component.setData(QStringLiteral("import Halvane.Ui\n%1 {}\n").arg(type).toUtf8(),
                          QUrl(QStringLiteral("qrc:/ui-test/%1Harness.qml").arg(type)));
        if (component.isLoading())
            QTRY_VERIFY_WITH_TIMEOUT(!component.isLoading(), 10000);
        if (!component.isReady()) {
            ADD_FAILURE() << component.errorString().toStdString();
            return;
        }
        QObject *object = component.createWithInitialProperties({{QStringLiteral("m"), QVariant::fromValue(&monitor)}});
        if (!object) {
            ADD_FAILURE() << component.errorString().toStdString();
            return;
        }
        m_root.reset(qobject_cast<QQuickItem *>(object));
        m_window.resize(size);
        m_root->setParentItem(m_window.contentItem());
        m_root->setSize(QSizeF(size));
        m_window.setColor(Zelv::surface());
        m_window.show();
        m_ok = QTest::qWaitForWindowExposed(&m_window);
    }

    [[nodiscard]] bool ok() const { return m_ok && m_root; }
    [[nodiscard]] QQuickWindow &window() { return m_window; }
    [[nodiscard]] QQuickItem *root() const { return m_root.get(); }

    // Lets bindings, layouts and polish settle: waits for the next rendered frame, which
    // polishes every item first.
    void settle()
    {
        QCoreApplication::processEvents();
        QSignalSpy frame(&m_window, &QQuickWindow::frameSwapped);
        m_window.update();
        EXPECT_TRUE(frame.count() > 0 || frame.wait(2000));
    }

    // All items (including popups in the overlay) with this object name.
    [[nodiscard]] QList<QQuickItem *> named(const QString &name)
    {
        QList<QQuickItem *> all, found;
        collect(m_window.contentItem(), all);
        for (QQuickItem *item : all) {
            if (item->objectName() == name)
                found.append(item);
        }
        return found;
    }
    [[nodiscard]] QQuickItem *one(const QString &name)
    {
        const QList<QQuickItem *> found = named(name);
        return found.size() == 1 ? found.first() : nullptr;
    }
    [[nodiscard]] QQuickItem *visibleOne(const QString &name)
    {
        QQuickItem *hit = nullptr;
        for (QQuickItem *item : named(name)) {
            if (item->isVisible()) {
                if (hit)
                    return nullptr;
                hit = item;
            }
        }
        return hit;
    }

    // Visible Text items showing exactly `text`.
    [[nodiscard]] QList<QQuickItem *> texts(const QString &text)
    {
        QList<QQuickItem *> all, found;
        collect(m_window.contentItem(), all);
        for (QQuickItem *item : all) {
            if (item->isVisible() && item->inherits("QQuickText") && item->property("text").toString() == text)
                found.append(item);
        }
        return found;
    }
    [[nodiscard]] bool shows(const QString &text) { return !texts(text).isEmpty(); }

    // Help texts of the given text attached anywhere in the view.
    [[nodiscard]] bool hasHelp(const QString &text)
    {
        for (QQuickItem *item : named(QStringLiteral("help"))) {
            if (item->property("text").toString() == text)
                return true;
        }
        return false;
    }

    [[nodiscard]] QPoint centre(QQuickItem *item) const
    {
        return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
    }
    void click(QQuickItem *item) { QTest::mouseClick(&m_window, Qt::LeftButton, {}, centre(item)); }

    void save(const QString &name)
    {
        QDir().mkpath(QStringLiteral(HALVANE_UI_ARTIFACTS));
        const QImage shot = m_window.grabWindow();
        EXPECT_FALSE(shot.isNull());
        const bool software = m_window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
        EXPECT_TRUE(shot.save(QStringLiteral(HALVANE_UI_ARTIFACTS "/%1-%2.png").arg(name, software ? "software" : "gl")));
    }

private:
    QQmlEngine m_engine;
    QQuickWindow m_window;
    std::unique_ptr<QQuickItem> m_root;
    bool m_ok = false;
};

// ---- Root layout ------------------------------------------------------------------------------

TEST(CaptureWindowView, BodyFollowsCamerasAndDirectorMode)
{
    MonitorFixture f;
    ViewHarness h(QStringLiteral("CaptureWindowView"), *f.monitor, {1180, 620});
    ASSERT_TRUE(h.ok());

    EXPECT_TRUE(h.shows(QStringLiteral("Esperando fotos…")));
    EXPECT_FALSE(h.visibleOne(QStringLiteral("leftColumn")));
    EXPECT_FALSE(h.visibleOne(QStringLiteral("metadataSidebar")));
    EXPECT_TRUE(h.visibleOne(QStringLiteral("toolbar")));
    h.settle();
    h.save(QStringLiteral("empty"));

    auto a = f.addCamera(QStringLiteral("X-T5 estudio"));
    a.cam->status = CameraStatus::NoSignal;
    emit f.monitor->objectWillChange();
    EXPECT_TRUE(h.shows(QStringLiteral("Esperando fotos…"))) << "no signal and no photos";

    for (int i = 1; i <= 3; ++i)
        MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("DSCF000%1.RAF").arg(i), i != 2);
    EXPECT_FALSE(h.shows(QStringLiteral("Esperando fotos…")));
    QQuickItem *column = h.visibleOne(QStringLiteral("leftColumn"));
    QQuickItem *sidebar = h.visibleOne(QStringLiteral("metadataSidebar"));
    ASSERT_TRUE(column && sidebar);
    EXPECT_FALSE(h.visibleOne(QStringLiteral("directorSidebar")));
    h.settle();
    EXPECT_DOUBLE_EQ(sidebar->width(), 236);
    EXPECT_DOUBLE_EQ(column->width(), 1180 - 236 - 1) << "the column takes what the sidebar and separator leave";
    a.cam->status = CameraStatus::Receiving;
    emit f.monitor->objectWillChange();
    h.settle();
    QTest::qWait(50);
    h.save(QStringLiteral("normal"));

    const double columnX = column->mapToScene({0, 0}).x();
    f.monitor->setDirectorModeOn(true);
    a.cam->paramState[QStringLiteral("shutterSpeed")] = {4000, {2000, 4000, 8000}};
    a.cam->paramState[QStringLiteral("iso")] = {800, {200, 400, 800, 1600, 3200}};
    a.cam->paramState[QStringLiteral("filmSimulation")] = {11, {1, 2, 11, 12, 16}};
    a.cam->liveFrame = testImage(1280, 853, QColor(0x20, 0x40, 0x30), QColor(0xc0, 0xd0, 0x90));
    emit f.monitor->objectWillChange();
    h.settle();
    EXPECT_TRUE(h.visibleOne(QStringLiteral("directorSidebar")));
    EXPECT_FALSE(h.visibleOne(QStringLiteral("metadataSidebar")));
    EXPECT_DOUBLE_EQ(column->mapToScene({0, 0}).x(), columnX) << "the column stays where it was";
    QTest::qWait(50);
    h.save(QStringLiteral("director"));
}

// ---- Toolbar and popover ----------------------------------------------------------------------

TEST(ToolbarView, SelectorShutterAndButtonsFollowTheState)
{
    MonitorFixture f;
    ViewHarness h(QStringLiteral("ToolbarView"), *f.monitor, {1000, 50});
    ASSERT_TRUE(h.ok());
    EXPECT_TRUE(h.shows(QStringLiteral("Sin cámara")));
    EXPECT_TRUE(h.shows(QStringLiteral("Esperando conexión")));
    EXPECT_FALSE(h.visibleOne(QStringLiteral("photoCount")));
    QQuickItem *shutter = h.one(QStringLiteral("shutterButton"));
    ASSERT_TRUE(shutter);
    EXPECT_FALSE(shutter->isEnabled());
    EXPECT_DOUBLE_EQ(shutter->opacity(), 0.45);
    EXPECT_TRUE(h.shows(QStringLiteral("\u2014"))) << "no folder";
    EXPECT_TRUE(h.hasHelp(QStringLiteral("Elegir la carpeta donde se guardan las fotos")));
    EXPECT_TRUE(h.hasHelp(QStringLiteral("Modo Director")));
    EXPECT_TRUE(h.hasHelp(QStringLiteral("Disparar")));

    auto a = f.addCamera(QStringLiteral("X-H2"));
    EXPECT_TRUE(h.shows(QStringLiteral("X-H2")));
    EXPECT_FALSE(h.shows(QStringLiteral("Esperando conexión")));
    EXPECT_TRUE(h.visibleOne(QStringLiteral("photoCount")));
    EXPECT_TRUE(h.shows(QStringLiteral("0"))) << "a camera without photos counts 0";
    EXPECT_TRUE(shutter->isEnabled());
    EXPECT_DOUBLE_EQ(shutter->opacity(), 1.0);

    h.settle();
    h.click(shutter);
    ASSERT_EQ(sentCommands(*a.sent).size(), 1);
    EXPECT_EQ(sentCommands(*a.sent)[0][QStringLiteral("cmd")].toString(), QStringLiteral("shutter"));

    QQuickItem *director = h.one(QStringLiteral("directorButton"));
    ASSERT_TRUE(director);
    EXPECT_FALSE(director->property("tinted").toBool());
    h.click(director);
    EXPECT_TRUE(f.monitor->directorModeOn());
    EXPECT_TRUE(director->property("tinted").toBool());
    EXPECT_EQ(sentCommands(*a.sent).last()[QStringLiteral("cmd")].toString(), QStringLiteral("requestState"));

    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    h.click(h.one(QStringLiteral("folderButton")));
    EXPECT_EQ(chooser.count(), 1);
}

TEST(CameraPopoverView, OpensUnderTheSelectorAndDrivesCameras)
{
    MonitorFixture f;
    ViewHarness h(QStringLiteral("ToolbarView"), *f.monitor, {1000, 400});
    ASSERT_TRUE(h.ok());
    h.root()->setHeight(50);
    QQuickItem *selector = h.one(QStringLiteral("cameraSelector"));
    ASSERT_TRUE(selector);

    h.click(selector);
    EXPECT_TRUE(f.monitor->cameraPopoverOpen());
    QTRY_VERIFY_WITH_TIMEOUT(h.visibleOne(QStringLiteral("cameraPopover")) != nullptr, 2000);
    EXPECT_TRUE(h.shows(QStringLiteral("Sin cámaras conectadas")));
    QQuickItem *popover = h.visibleOne(QStringLiteral("cameraPopover"));
    EXPECT_DOUBLE_EQ(popover->width(), 260);
    EXPECT_GT(popover->mapToScene({0, 0}).y(), selector->mapToScene({0, selector->height()}).y())
        << "the popover opens below the selector";

    auto a = f.addCamera(QStringLiteral("Estudio"));
    auto b = f.addCamera(QStringLiteral("Exterior"));
    b.cam->status = CameraStatus::NoSignal;
    emit f.monitor->objectWillChange();
    h.settle();
    EXPECT_FALSE(h.shows(QStringLiteral("Sin cámaras conectadas")));
    const QList<QQuickItem *> rows = h.named(QStringLiteral("cameraRow"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_DOUBLE_EQ(rows[0]->opacity(), 1.0);
    EXPECT_DOUBLE_EQ(rows[1]->opacity(), 0.45);
    EXPECT_TRUE(h.shows(QStringLiteral("Recibiendo")));
    EXPECT_TRUE(h.shows(QStringLiteral("Sin señal")));
    const QList<QQuickItem *> switches = h.named(QStringLiteral("receptionSwitch"));
    ASSERT_EQ(switches.size(), 2);
    EXPECT_TRUE(switches[0]->isEnabled());
    EXPECT_FALSE(switches[1]->isEnabled());
    h.save(QStringLiteral("popover-toolbar"));


    // A click on the switch pauses the camera; the popover stays open.
    h.settle();
    h.click(switches[0]);
    EXPECT_FALSE(a.cam->enabled);
    EXPECT_TRUE(h.shows(QStringLiteral("En pausa")));
    EXPECT_TRUE(f.monitor->cameraPopoverOpen());
    h.click(switches[0]);
    EXPECT_TRUE(a.cam->enabled);
    EXPECT_EQ(a.cam->status, CameraStatus::Receiving);

    // A click on the row without signal still makes it the active camera.
    QTest::mouseClick(&h.window(), Qt::LeftButton, {}, rows[1]->mapToScene({20, rows[1]->height() / 2}).toPoint());
    EXPECT_EQ(f.monitor->activeCamera(), b.cam.get());
    EXPECT_TRUE(f.monitor->cameraPopoverOpen());
    EXPECT_TRUE(h.shows(QStringLiteral("Exterior")));

    // The selector closes it again; a click outside closes it and clears the flag.
    h.click(selector);
    EXPECT_FALSE(f.monitor->cameraPopoverOpen());
    QTRY_VERIFY_WITH_TIMEOUT(h.visibleOne(QStringLiteral("cameraPopover")) == nullptr, 2000);
    f.monitor->setCameraPopoverOpen(true);
    QTRY_VERIFY_WITH_TIMEOUT(h.visibleOne(QStringLiteral("cameraPopover")) != nullptr, 2000);
    QTest::mouseClick(&h.window(), Qt::LeftButton, {}, QPoint(900, 380));
    EXPECT_FALSE(f.monitor->cameraPopoverOpen());
    QTRY_VERIFY_WITH_TIMEOUT(h.visibleOne(QStringLiteral("cameraPopover")) == nullptr, 2000);
}

// ---- Photo column -----------------------------------------------------------------------------

TEST(LeftColumnView, StripNewestFirstSelectionAndPlaceholders)
{
    MonitorFixture f;
    auto a = f.addCamera();
    ViewHarness h(QStringLiteral("LeftColumnView"), *f.monitor, {900, 560});
    ASSERT_TRUE(h.ok());
    EXPECT_TRUE(h.shows(QStringLiteral("Última foto capturada")));
    EXPECT_TRUE(h.shows(QStringLiteral("Aún no hay fotos")));

    QList<QUuid> ids;
    for (const char *name : {"A.JPG", "B.JPG", "C.JPG"})
        ids.append(MonitorFixture::addPhoto(*f.monitor, *a.cam, QString::fromLatin1(name), name[0] != 'B').id());
    h.settle();
    EXPECT_FALSE(h.shows(QStringLiteral("Aún no hay fotos")));
    EXPECT_FALSE(h.visibleOne(QStringLiteral("placeholder")));

    auto tiles = [&] {
        QList<QQuickItem *> list;
        for (QQuickItem *tile : h.named(QStringLiteral("tile")))
            if (tile->isVisible())
                list.append(tile);
        std::sort(list.begin(), list.end(), [](QQuickItem *l, QQuickItem *r) {
            return l->mapToScene({0, 0}).x() < r->mapToScene({0, 0}).x();
        });
        return list;
    };
    QList<QQuickItem *> row = tiles();
    ASSERT_EQ(row.size(), 3);
    EXPECT_EQ(row[0]->property("photoId").toString(), ids[2].toString(QUuid::WithoutBraces)) << "newest first";
    EXPECT_EQ(row[2]->property("photoId").toString(), ids[0].toString(QUuid::WithoutBraces));
    EXPECT_DOUBLE_EQ(row[0]->width(), 144);
    EXPECT_DOUBLE_EQ(row[0]->height(), 96);
    EXPECT_TRUE(row[0]->property("selected").toBool());
    EXPECT_FALSE(row[1]->property("selected").toBool());

    // B was not stored: its tile carries the mark, the others do not.
    auto marked = [&](QQuickItem *tile) {
        QList<QQuickItem *> all;
        collect(tile, all);
        return std::any_of(all.begin(), all.end(), [](QQuickItem *i) {
            return i->objectName() == QLatin1String("unsavedMark") && i->isVisible();
        });
    };
    EXPECT_FALSE(marked(row[0]));
    EXPECT_TRUE(marked(row[1]));

    auto *viewer = qobject_cast<ZoomArea *>(h.visibleOne(QStringLiteral("fitImageView")));
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->identity(), ids[2].toString(QUuid::WithoutBraces));
    QTest::mouseDClick(&h.window(), Qt::LeftButton, {}, h.centre(viewer));
    EXPECT_TRUE(viewer->zoomedIn());

    // Clicking B frames B, shows it and resets the zoom.
    h.click(row[1]);
    EXPECT_EQ(f.monitor->selectedPhotoId(), ids[1]);
    EXPECT_TRUE(row[1]->property("selected").toBool());
    EXPECT_FALSE(row[0]->property("selected").toBool());
    EXPECT_EQ(viewer->identity(), ids[1].toString(QUuid::WithoutBraces));
    EXPECT_FALSE(viewer->zoomedIn());
    EXPECT_DOUBLE_EQ(viewer->shownScale(), 1.0);

    // Director mode without a live frame: the "Live view" placeholder.
    f.monitor->setDirectorModeOn(true);
    EXPECT_TRUE(h.shows(QStringLiteral("Live view")));
}

TEST(LeftColumnView, LiveFramesReplaceTheImageAndKeepZoomAndPan)
{
    MonitorFixture f;
    auto a = f.addCamera();
    f.monitor->setDirectorModeOn(true);
    a.cam->liveFrame = testImage(1280, 853);
    emit f.monitor->objectWillChange();
    ViewHarness h(QStringLiteral("LeftColumnView"), *f.monitor, {900, 560});
    ASSERT_TRUE(h.ok());
    h.settle();
    auto *viewer = qobject_cast<ZoomArea *>(h.visibleOne(QStringLiteral("fitImageView")));
    QQuickItem *picture = h.one(QStringLiteral("picture"));
    ASSERT_TRUE(viewer && picture);

    QTest::mouseDClick(&h.window(), Qt::LeftButton, {}, h.centre(viewer));
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->animating(), 2000);
    const QPoint start = h.centre(viewer);
    QTest::mousePress(&h.window(), Qt::LeftButton, {}, start);
    for (int i = 1; i <= 5; ++i)
        QTest::mouseMove(&h.window(), start + QPoint(6 * i, -4 * i));
    QTest::mouseRelease(&h.window(), Qt::LeftButton, {}, start + QPoint(30, -20));
    ASSERT_EQ(viewer->offset(), QPointF(30, -20));

    QQuickItem *before = picture;
    const int uploads = picture->property("uploads").toInt();
    for (int frame = 0; frame < 3; ++frame) {
        a.cam->liveFrame = testImage(1280, 853, QColor(frame * 60, 80, 120), Qt::black);
        emit f.monitor->objectWillChange();
        h.settle();
    }
    QTRY_VERIFY_WITH_TIMEOUT(picture->property("uploads").toInt() > uploads, 2000);
    EXPECT_EQ(h.one(QStringLiteral("picture")), before) << "the same item shows every frame";
    EXPECT_DOUBLE_EQ(viewer->zoom(), 2.5);
    EXPECT_EQ(viewer->offset(), QPointF(30, -20));
}

// ---- Viewer -----------------------------------------------------------------------------------

class ViewerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        a = f.addCamera();
        MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("A.JPG")); // 1200 × 800 preview
        h = std::make_unique<ViewHarness>(QStringLiteral("LeftColumnView"), *f.monitor, QSize(936, 566));
        ASSERT_TRUE(h->ok());
        h->settle();
        viewer = qobject_cast<ZoomArea *>(h->visibleOne(QStringLiteral("fitImageView")));
        ASSERT_TRUE(viewer);
        card = h->one(QStringLiteral("imageCard"));
        ASSERT_TRUE(card);
    }

    void drag(QPoint from, QPoint by, int steps = 6)
    {
        QTest::mousePress(&h->window(), Qt::LeftButton, {}, from);
        for (int i = 1; i <= steps; ++i)
            QTest::mouseMove(&h->window(), from + by * i / steps);
        QTest::mouseRelease(&h->window(), Qt::LeftButton, {}, from + by);
    }

    void pinch(const QList<double> &deltas)
    {
        const QPointF at = viewer->mapToScene({viewer->width() / 2, viewer->height() / 2});
        const QPointingDevice *device = QPointingDevice::primaryPointingDevice();
        auto send = [&](Qt::NativeGestureType type, double value) {
            QNativeGestureEvent event(type, device, 2, at, at, h->window().mapToGlobal(at), value, QPointF());
            QCoreApplication::sendEvent(&h->window(), &event);
        };
        send(Qt::BeginNativeGesture, 0);
        for (double d : deltas)
            send(Qt::ZoomNativeGesture, d);
        send(Qt::EndNativeGesture, 0);
    }

    MonitorFixture f;
    MonitorFixture::Camera a;
    std::unique_ptr<ViewHarness> h;
    ZoomArea *viewer = nullptr;
    QQuickItem *card = nullptr;
};

TEST_F(ViewerTest, FitsTheImageAndZoomsOnDoubleClickAnimated)
{
    // The column insets 18 on every side and gives the strip 96 + 14: 900 × 420 for the viewer.
    EXPECT_DOUBLE_EQ(viewer->width(), 900);
    EXPECT_DOUBLE_EQ(viewer->height(), 420);
    EXPECT_DOUBLE_EQ(card->width(), 630);
    EXPECT_DOUBLE_EQ(card->height(), 420);

    QTest::mouseDClick(&h->window(), Qt::LeftButton, {}, h->centre(viewer));
    EXPECT_DOUBLE_EQ(viewer->zoom(), 2.5);
    EXPECT_TRUE(viewer->animating());
    EXPECT_LT(viewer->shownScale(), 2.5) << "the change is animated";
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->animating(), 2000);
    EXPECT_DOUBLE_EQ(card->scale(), 2.5);
    h->save(QStringLiteral("viewer-zoomed"));

    QTest::mouseDClick(&h->window(), Qt::LeftButton, {}, h->centre(viewer));
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->animating(), 2000);
    EXPECT_DOUBLE_EQ(card->scale(), 1.0);
    EXPECT_EQ(viewer->offset(), QPointF());
}

TEST_F(ViewerTest, DragsPanOnlyWhenZoomedAndOnlyPastTenPoints)
{
    const QPoint c = h->centre(viewer);
    drag(c, {30, -20});
    EXPECT_EQ(viewer->offset(), QPointF()) << "a fitted image does not move";

    QTest::mouseDClick(&h->window(), Qt::LeftButton, {}, c);
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->animating(), 2000);
    const QPointF cardAt = card->mapToScene({card->width() / 2, card->height() / 2});
    drag(c, {30, -20});
    EXPECT_EQ(viewer->offset(), QPointF(30, -20));
    EXPECT_EQ(card->mapToScene({card->width() / 2, card->height() / 2}), cardAt + QPointF(30, -20))
        << "the image moves by exactly the drag, whatever the zoom";
    drag(c, {-10, 40});
    EXPECT_EQ(viewer->offset(), QPointF(20, 20)) << "a second drag continues from the first";

    drag(c, {6, 6}, 2); // under 10 points: not a drag
    EXPECT_EQ(viewer->offset(), QPointF(20, 20));
}

TEST_F(ViewerTest, PinchesScaleLiveAndCommitWithinLimits)
{
    // Deltas multiply: 1.5 × 1.5 × 1.5 × 3 ≈ 10.1
    const QPointF at = viewer->mapToScene({viewer->width() / 2, viewer->height() / 2});
    const QPointingDevice *device = QPointingDevice::primaryPointingDevice();
    auto send = [&](Qt::NativeGestureType type, double value) {
        QNativeGestureEvent event(type, device, 2, at, at, h->window().mapToGlobal(at), value, QPointF());
        QCoreApplication::sendEvent(&h->window(), &event);
    };
    send(Qt::BeginNativeGesture, 0);
    send(Qt::ZoomNativeGesture, 0.005);
    EXPECT_DOUBLE_EQ(viewer->shownScale(), 1.0) << "a pinch starts only past 0.01";
    send(Qt::ZoomNativeGesture, 0.5);
    send(Qt::ZoomNativeGesture, 0.5);
    send(Qt::ZoomNativeGesture, 2.0);
    EXPECT_GT(viewer->shownScale(), 6.0) << "no limit while pinching";
    EXPECT_DOUBLE_EQ(card->scale(), viewer->shownScale());
    send(Qt::EndNativeGesture, 0);
    EXPECT_DOUBLE_EQ(viewer->zoom(), 6.0);
    EXPECT_DOUBLE_EQ(viewer->shownScale(), 6.0);

    pinch({-0.9}); // × 0.1 → 0.6, below 1: back to fitted
    EXPECT_DOUBLE_EQ(viewer->zoom(), 1.0);
    EXPECT_EQ(viewer->offset(), QPointF());
}

// ---- Sidebars ---------------------------------------------------------------------------------

TEST(MetadataSidebarView, RowsShowThePhotoOrDashes)
{
    MonitorFixture f;
    ViewHarness h(QStringLiteral("MetadataSidebarView"), *f.monitor, {236, 560});
    ASSERT_TRUE(h.ok());
    EXPECT_TRUE(h.shows(QStringLiteral("AJUSTES DE CÁMARA")));
    EXPECT_TRUE(h.shows(QStringLiteral("ARCHIVO")));
    const QStringList labels = {QStringLiteral("Obturador"), QStringLiteral("Apertura"), QStringLiteral("ISO"),
                                QStringLiteral("Exposición"), QStringLiteral("Balance de blancos"),
                                QStringLiteral("Nombre"), QStringLiteral("Hora"), QStringLiteral("Lente"),
                                QStringLiteral("Tamaño"), QStringLiteral("Dimensiones")};
    for (const QString &label : labels)
        EXPECT_TRUE(h.shows(label)) << label.toStdString();
    EXPECT_EQ(h.texts(QStringLiteral("\u2014")).size(), 10) << "every value is a dash without a photo";

    auto a = f.addCamera();
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("DSCF_with_a_rather_long_name_0001.RAF"), false);
    for (const char *value : {"1/250", "f/2.8", "400", "+0.7", "AUTO", "14:03:09", "24.3 MB · RAW", "6240×4160"})
        EXPECT_TRUE(h.shows(QString::fromUtf8(value))) << value;
    EXPECT_TRUE(h.visibleOne(QStringLiteral("unsavedMark"))) << "the unsaved photo is marked beside its name";
    EXPECT_TRUE(h.hasHelp(QStringLiteral("No se ha guardado en la carpeta de capturas")));

    // The long name wraps inside the column instead of widening it.
    h.settle();
    QQuickItem *name = h.texts(QStringLiteral("DSCF_with_a_rather_long_name_0001.RAF")).value(0);
    ASSERT_TRUE(name);
    EXPECT_LE(name->mapToScene({name->width(), 0}).x(), 236 - 16 + 0.5);
    EXPECT_GT(name->height(), 20);
    h.save(QStringLiteral("metadata-unsaved"));
}

TEST(DirectorSidebarView, RowsSlidersAndButtons)
{
    MonitorFixture f;
    auto a = f.addCamera();
    ViewHarness h(QStringLiteral("DirectorSidebarView"), *f.monitor, {236, 560});
    ASSERT_TRUE(h.ok());
    EXPECT_TRUE(h.shows(QStringLiteral("Director activo")));
    EXPECT_TRUE(h.shows(QStringLiteral("Esperando parámetros de la cámara…")));
    EXPECT_TRUE(h.shows(QStringLiteral("no soportado")));
    QQuickItem *exposure = h.one(QStringLiteral("exposureSlider"));
    ASSERT_TRUE(exposure);
    EXPECT_FALSE(exposure->isEnabled());
    EXPECT_DOUBLE_EQ(exposure->opacity(), 0.45);
    EXPECT_TRUE(h.shows(QStringLiteral("AF")));
    EXPECT_TRUE(h.hasHelp(QStringLiteral(
        "No implementado todavía en el protocolo — solo dispara S1+S2 juntos (botón Enfocar)")));

    a.cam->paramState[QStringLiteral("filmSimulation")] = {11, {1, 2, 11, 12}};
    a.cam->paramState[QStringLiteral("iso")] = {800, {200, 400, 800, 1600, 3200}};
    a.cam->paramState[QStringLiteral("shutterSpeed")] = {4000, {4000}};
    a.cam->paramState[QStringLiteral("grainEffect")] = {1, {}};
    a.cam->paramState[QStringLiteral("exposureComp")] = {0, {-3, 0, 3}};
    emit f.monitor->objectWillChange();
    h.settle();
    EXPECT_FALSE(h.shows(QStringLiteral("Esperando parámetros de la cámara…")));
    EXPECT_FALSE(h.shows(QStringLiteral("Granulado"))) << "a key without values has no row";
    EXPECT_FALSE(h.shows(QStringLiteral("no soportado")));
    EXPECT_TRUE(exposure->isEnabled());
    EXPECT_DOUBLE_EQ(exposure->opacity(), 1.0);

    QList<QQuickItem *> rows;
    for (QQuickItem *item : h.named(QStringLiteral("paramLabel")))
        rows.append(item);
    std::sort(rows.begin(), rows.end(), [](QQuickItem *l, QQuickItem *r) {
        return l->mapToScene({0, 0}).y() < r->mapToScene({0, 0}).y();
    });
    QStringList order;
    for (QQuickItem *label : rows) {
        order.append(label->property("text").toString());
        EXPECT_FALSE(label->property("truncated").toBool()) << "labels show in full";
        EXPECT_GE(label->width() + 0.5, label->implicitWidth()) << label->property("text").toString().toStdString();
    }
    EXPECT_EQ(order, (QStringList{QStringLiteral("Velocidad"), QStringLiteral("ISO"),
                                  QStringLiteral("Simulación de película"), QStringLiteral("exposureComp")}));
    EXPECT_TRUE(h.shows(QStringLiteral("1/250s")));
    EXPECT_TRUE(h.shows(QStringLiteral("Classic Chrome")));
    EXPECT_TRUE(h.shows(QStringLiteral("#0")));

    QQuickItem *shutterRow = h.one(QStringLiteral("param:shutterSpeed"));
    QQuickItem *isoRow = h.one(QStringLiteral("param:iso"));
    ASSERT_TRUE(shutterRow && isoRow);
    auto sliderOf = [](QQuickItem *row) {
        QList<QQuickItem *> all;
        collect(row, all);
        for (QQuickItem *i : all)
            if (i->objectName() == QLatin1String("paramSlider"))
                return i;
        return static_cast<QQuickItem *>(nullptr);
    };
    EXPECT_FALSE(sliderOf(shutterRow)->isVisible()) << "one allowed value: no slider";
    QQuickItem *isoSlider = sliderOf(isoRow);
    ASSERT_TRUE(isoSlider && isoSlider->isVisible());
    EXPECT_DOUBLE_EQ(isoSlider->property("value").toDouble(), 2);
    EXPECT_DOUBLE_EQ(isoSlider->property("to").toDouble(), 4);
    h.save(QStringLiteral("director-sidebar"));
    QQuickItem *sidebarColumn = isoRow->parentItem();
    for (QQuickItem *row : sidebarColumn->childItems())
        EXPECT_LE(row->x() + row->width(), sidebarColumn->width() + 0.5) << "nothing is wider than the sidebar";

    // Drag the ISO handle from 800 to the left end: every step on the way is sent.
    QQuickItem *handle = isoSlider->property("handle").value<QQuickItem *>();
    ASSERT_TRUE(handle);
    const QPoint from = h.centre(handle);
    const QPoint to = isoSlider->mapToScene({2, isoSlider->height() / 2}).toPoint();
    QTest::mousePress(&h.window(), Qt::LeftButton, {}, from);
    for (int i = 1; i <= 12; ++i)
        QTest::mouseMove(&h.window(), from + (to - from) * i / 12);
    QList<QJsonObject> sent = sentCommands(*a.sent);
    QList<qint64> values;
    for (const QJsonObject &c : sent)
        values.append(c[QStringLiteral("value")].toInteger());
    EXPECT_EQ(values, (QList<qint64>{400, 200})) << "sent while dragging, once per position";
    QTest::mouseRelease(&h.window(), Qt::LeftButton, {}, to);
    EXPECT_EQ(a.cam->paramState[QStringLiteral("iso")].current, 200);
    EXPECT_TRUE(h.shows(QStringLiteral("200")));
    EXPECT_EQ(sentCommands(*a.sent).size(), 2);
    for (const QJsonObject &c : sentCommands(*a.sent)) {
        EXPECT_EQ(c[QStringLiteral("cmd")].toString(), QStringLiteral("setParam"));
        EXPECT_EQ(c[QStringLiteral("param")].toString(), QStringLiteral("iso"));
    }

    // The exposure slider never moves and never sends.
    h.settle();
    {
        const QPoint e = h.centre(exposure);
        QTest::mousePress(&h.window(), Qt::LeftButton, {}, e);
        QTest::mouseMove(&h.window(), e + QPoint(60, 0));
        QTest::mouseRelease(&h.window(), Qt::LeftButton, {}, e + QPoint(60, 0));
    }
    EXPECT_DOUBLE_EQ(exposure->property("value").toDouble(), 0);
    EXPECT_EQ(sentCommands(*a.sent).size(), 2);

    h.click(h.one(QStringLiteral("focusButton")));
    ASSERT_EQ(sentCommands(*a.sent).size(), 3);
    EXPECT_EQ(sentCommands(*a.sent).last()[QStringLiteral("cmd")].toString(), QStringLiteral("shutter"));
}

// ---- Shell: the window's context menu and the question before quitting ------------------------

TEST(ShellView, QuitItemAndTheQuestionAboutUnsavedPhotos)
{
    MonitorFixture f;
    auto a = f.addCamera();
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("a.jpg"), false);
    MonitorFixture::addPhoto(*f.monitor, *a.cam, QStringLiteral("b.jpg"), false);
    ViewHarness h(QStringLiteral("ShellView"), *f.monitor, {1180, 620});
    ASSERT_TRUE(h.ok());
    auto *guard = h.root()->property("guard").value<QObject *>();
    ASSERT_TRUE(guard);
    QSignalSpy confirmed(guard, SIGNAL(quitConfirmed()));
    h.settle();
    h.save(QStringLiteral("shell"));

    // A right click on the window opens its menu; its one item asks before quitting.
    auto openMenuAndQuit = [&] {
        QTest::mouseClick(&h.window(), Qt::RightButton, {}, QPoint(600, 400));
        h.settle();
        QQuickItem *item = h.visibleOne(QStringLiteral("quitItem"));
        ASSERT_TRUE(item);
        EXPECT_TRUE(h.shows(QStringLiteral("Quit Halvane")));
        h.click(item);
        h.settle();
    };
    openMenuAndQuit();
    QQuickItem *message = h.visibleOne(QStringLiteral("quitMessage"));
    ASSERT_TRUE(message) << "the question is shown";
    EXPECT_EQ(message->property("text").toString(),
              QStringLiteral("2 fotos no se han guardado en la carpeta de capturas y se perderán si sales."));
    for (const char *answer : {"Elegir carpeta…", "Salir sin guardar", "Cancelar"})
        EXPECT_TRUE(h.shows(QString::fromUtf8(answer))) << answer;
    h.save(QStringLiteral("quit-question"));

    h.click(h.visibleOne(QStringLiteral("quitCancel")));
    h.settle();
    EXPECT_FALSE(h.visibleOne(QStringLiteral("quitMessage")));
    EXPECT_EQ(confirmed.count(), 0);

    openMenuAndQuit();
    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    h.click(h.visibleOne(QStringLiteral("quitChooseFolder")));
    EXPECT_EQ(chooser.count(), 1);
    QMetaObject::invokeMethod(guard, "folderChoiceCancelled");
    h.settle();
    ASSERT_TRUE(h.visibleOne(QStringLiteral("quitDiscard"))) << "back to the question";
    h.click(h.visibleOne(QStringLiteral("quitDiscard")));
    EXPECT_EQ(confirmed.count(), 1);
}

} // namespace
