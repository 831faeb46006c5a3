// The views as a person sees them: each view is loaded over a prepared window state in a real
// window, checked for its texts, elements and their state, and driven with synthetic clicks,
// drags and pinches. The Rendered suite, which saves screenshots of the main layouts under
// artifacts/ (named after the renderer), is the part that runs a second time on OpenGL.
#include <QAbstractItemModelTester>
#include <QDir>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UiFixtures.h"
#include "ZoomArea.h"
#include "Zelv.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

using ::testing::IsSupersetOf;
using Tester = QAbstractItemModelTester;

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

// One view of the module, created with the window state as its required `ws`, in a window.
class ViewHarness
{
public:
    ViewHarness(const QString &type, WindowState &ws, QSize size)
    {
        m_engine.addImportPath("qrc:/qt/qml");
        QQmlComponent component(&m_engine);
        component.setData(("import Halvane.Ui\n" + type + " {}\n").toUtf8(), QUrl("qrc:/view.qml"));
        m_root.reset(qobject_cast<QQuickItem *>(component.createWithInitialProperties({{"ws", QVariant::fromValue(&ws)}})));
        if (!m_root) {
            ADD_FAILURE() << component.errorString().toStdString();
            return;
        }
        m_window.resize(size);
        m_root->setParentItem(m_window.contentItem());
        m_root->setSize(QSizeF(size));
        m_window.setColor(Zelv::surface());
        m_window.show();
        m_ok = QTest::qWaitForWindowExposed(&m_window);
    }

    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] QQuickWindow *window() { return &m_window; }
    [[nodiscard]] QQuickItem *root() const { return m_root.get(); }

    // Waits for the next rendered frame, which polishes every item (bindings and layouts) first.
    void settle()
    {
        QSignalSpy frame(&m_window, &QQuickWindow::frameSwapped);
        m_window.update();
        EXPECT_TRUE(frame.wait(2000));
    }

    // The visible items (popups in the overlay included) with this object name, in tree order.
    [[nodiscard]] QList<QQuickItem *> named(const QString &name)
    {
        QList<QQuickItem *> found;
        for (QQuickItem *item : itemsBelow(m_window.contentItem()))
            if (item->isVisible() && item->objectName() == name)
                found.append(item);
        return found;
    }
    [[nodiscard]] QQuickItem *one(const QString &name) { return named(name).size() == 1 ? named(name)[0] : nullptr; }

    // The texts shown (visible Text items), or the texts of the items named `name` ("help").
    [[nodiscard]] QStringList texts(const QString &name = {})
    {
        QStringList found;
        for (QQuickItem *item : itemsBelow(m_window.contentItem()))
            if (name.isEmpty() ? item->isVisible() && item->inherits("QQuickText") : item->objectName() == name)
                found.append(item->property("text").toString());
        return found;
    }

    void click(QQuickItem *item, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseClick(&m_window, button, {}, centre(item));
    }
    void drag(QPoint from, QPoint by, int steps = 6)
    {
        QTest::mousePress(&m_window, Qt::LeftButton, {}, from);
        for (int i = 1; i <= steps; ++i)
            QTest::mouseMove(&m_window, from + by * i / steps);
        QTest::mouseRelease(&m_window, Qt::LeftButton, {}, from + by);
    }

    void save(const QString &name)
    {
        settle();
        const bool software = m_window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
        QDir().mkpath(HALVANE_UI_ARTIFACTS);
        EXPECT_TRUE(m_window.grabWindow().save(QString(HALVANE_UI_ARTIFACTS "/%1-%2.png").arg(name, software ? "software" : "gl")));
    }

private:
    QQmlEngine m_engine;
    QQuickWindow m_window;
    std::unique_ptr<QQuickItem> m_root;
    bool m_ok = false;
};

TEST(Rendered, WindowLayoutsLiveViewAndTheQuestionBeforeQuitting)
{
    MonitorFixture f;
    ViewHarness h("ShellView", f.ws, {1180, 620});
    ASSERT_TRUE(h.ok());
    EXPECT_THAT(h.texts(), IsSupersetOf({"Esperando fotos…", "Sin cámara"}));
    EXPECT_FALSE(h.one("leftColumn"));
    h.save("empty");

    CameraConnection &a = f.addCamera("X-T5 estudio");
    for (int i = 1; i <= 3; ++i)
        f.addPhoto(a, QString("DSCF000%1.RAF").arg(i), i != 2);
    QQuickItem *column = h.one("leftColumn");
    QQuickItem *sidebar = h.one("metadataSidebar");
    ASSERT_TRUE(column && sidebar);
    EXPECT_FALSE(h.one("directorSidebar") || h.texts().contains("Esperando fotos…"));
    h.save("normal");
    EXPECT_EQ(sidebar->width(), 236);
    EXPECT_EQ(column->width(), 1180 - 236 - 1) << "the column takes what the sidebar and separator leave";

    f.monitor->setDirectorModeOn(true);
    a.paramState["shutterSpeed"] = {4000, {2000, 4000, 8000}};
    a.paramState["iso"] = {800, {200, 400, 800, 1600, 3200}};
    a.paramState["filmSimulation"] = {11, {1, 2, 11, 12, 16}};
    a.liveFrame = testImage(1280, 853, QColor(0x20, 0x40, 0x30), QColor(0xc0, 0xd0, 0x90));
    f.changed();
    EXPECT_TRUE(h.one("directorSidebar") && !h.one("metadataSidebar"));
    h.save("director");
    EXPECT_EQ(column->mapToScene({}).x(), 0) << "the column stays where it was";

    f.addCamera("Exterior", CameraStatus::NoSignal);
    f.monitor->setCameraPopoverOpen(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.one("cameraPopover"); }));
    h.save("popover");
    f.monitor->setCameraPopoverOpen(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !h.one("cameraPopover"); }));

    // A zoom and pan of the live view stay while its frames arrive, drawn by the same item.
    auto *viewer = qobject_cast<ZoomArea *>(h.one("fitImageView"));
    QQuickItem *picture = h.one("picture");
    ASSERT_TRUE(viewer && picture);
    EXPECT_EQ(viewer->identity(), "live-" + a.id().toString(QUuid::WithoutBraces).toUpper());
    QTest::mouseDClick(h.window(), Qt::LeftButton, {}, centre(viewer));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->animating(); }));
    h.drag(centre(viewer), {30, -20});
    const int uploads = picture->property("uploads").toInt();
    for (int frame = 0; frame < 3; ++frame) {
        a.liveFrame = testImage(1280, 853, QColor(frame * 60, 80, 120), Qt::black);
        f.changed();
        h.settle();
    }
    EXPECT_GT(picture->property("uploads").toInt(), uploads);
    EXPECT_EQ(h.one("picture"), picture);
    EXPECT_EQ(viewer->zoom(), 2.5);
    EXPECT_EQ(viewer->offset(), QPointF(30, -20));
    h.save("live-zoomed");

    // A right click opens the window's menu; its one item asks before quitting.
    QSignalSpy confirmed(f.ws.quitGuard(), &QuitGuard::quitConfirmed);
    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    auto askToQuit = [&] {
        QTest::mouseClick(h.window(), Qt::RightButton, {}, {600, 400});
        h.settle();
        ASSERT_TRUE(h.texts().contains("Quit Halvane"));
        h.click(h.one("quitItem"));
        h.settle();
        EXPECT_THAT(h.texts(), IsSupersetOf({"Elegir carpeta…", "Salir sin guardar", "Cancelar",
                                             "1 foto no se ha guardado en la carpeta de capturas y se perderá si sales."}));
    };
    askToQuit();
    h.save("quit-question");
    h.click(h.one("quitCancel"));
    h.settle();
    EXPECT_FALSE(h.one("quitMessage"));
    askToQuit();
    h.click(h.one("quitChooseFolder"));
    EXPECT_EQ(chooser.count(), 1);
    f.ws.quitGuard()->folderChoiceCancelled(); // the question is back
    h.settle();
    EXPECT_EQ(confirmed.count(), 0);
    h.click(h.one("quitDiscard"));
    EXPECT_EQ(confirmed.count(), 1);
}

TEST(ToolbarView, SelectorButtonsAndPopoverFollowAndDriveTheCameras)
{
    MonitorFixture f;
    ViewHarness h("ToolbarView", f.ws, {1000, 400});
    ASSERT_TRUE(h.ok());
    h.root()->setHeight(50);
    EXPECT_THAT(h.texts(), IsSupersetOf({"Sin cámara", "Esperando conexión", "—"}));
    EXPECT_THAT(h.texts("help"), IsSupersetOf({"Elegir la carpeta donde se guardan las fotos", "Modo Director", "Disparar"}));
    QQuickItem *shutter = h.one("shutterButton");
    QQuickItem *selector = h.one("cameraSelector");
    ASSERT_TRUE(shutter && selector && !h.one("photoCount"));
    EXPECT_FALSE(shutter->isEnabled());
    EXPECT_EQ(shutter->opacity(), 0.45);

    Tester tester(f.ws.cameras(), Tester::FailureReportingMode::Fatal);
    h.click(selector);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.monitor->cameraPopoverOpen() && h.one("cameraPopover"); }));
    QQuickItem *popover = h.one("cameraPopover");
    EXPECT_TRUE(h.texts().contains("Sin cámaras conectadas"));
    EXPECT_EQ(popover->width(), 260);
    EXPECT_GT(popover->mapToScene({}).y(), selector->mapToScene({0, selector->height()}).y()) << "opens below";

    CameraConnection &a = f.addCamera("Estudio");
    CameraConnection &b = f.addCamera("Exterior", CameraStatus::NoSignal);
    h.settle();
    EXPECT_THAT(h.texts(), IsSupersetOf({"Estudio", "0", "Recibiendo", "Exterior", "Sin señal"}));
    EXPECT_FALSE(h.texts().contains("Sin cámaras conectadas"));
    EXPECT_TRUE(shutter->isEnabled() && h.one("photoCount"));
    EXPECT_EQ(shutter->opacity(), 1.0);
    const QList<QQuickItem *> rows = h.named("cameraRow"), switches = h.named("receptionSwitch");
    ASSERT_EQ(rows.size() + switches.size(), 4);
    EXPECT_EQ(QList<qreal>({rows[0]->opacity(), rows[1]->opacity()}), QList<qreal>({1.0, 0.45})) << "no signal: dimmed";
    EXPECT_TRUE(switches[0]->isEnabled() && !switches[1]->isEnabled());

    // The switch pauses and resumes its camera; a click on the row without signal still makes it
    // the active camera; the popover stays open.
    h.click(switches[0]);
    EXPECT_TRUE(!a.enabled && h.texts().contains("En pausa"));
    h.click(switches[0]);
    EXPECT_EQ(a.status, CameraStatus::Receiving);
    QTest::mouseClick(h.window(), Qt::LeftButton, {}, rows[1]->mapToScene({20, rows[1]->height() / 2}).toPoint());
    EXPECT_EQ(f.monitor->activeCamera(), &b);
    EXPECT_EQ(h.texts().count("Exterior"), 2) << "in the selector and in its row";

    // The selector closes it again; a click outside closes it and clears the flag.
    auto closed = [&] { return !f.monitor->cameraPopoverOpen() && !h.one("cameraPopover"); };
    h.click(selector);
    ASSERT_TRUE(QTest::qWaitFor(closed));
    f.monitor->setCameraPopoverOpen(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.one("cameraPopover"); }));
    QTest::mouseClick(h.window(), Qt::LeftButton, {}, {900, 380});
    EXPECT_TRUE(QTest::qWaitFor(closed));

    // The buttons: shutter to the active camera, director mode (tinted), folder chooser.
    QSignalSpy chooser(f.monitor.get(), &Monitor::folderChooserRequested);
    QQuickItem *director = h.one("directorButton");
    h.click(shutter);
    EXPECT_FALSE(director->property("tinted").toBool());
    h.click(director);
    EXPECT_TRUE(director->property("tinted").toBool());
    h.click(h.one("folderButton"));
    EXPECT_EQ(f.commands(b), QStringList({"requestState", "shutter", "requestState"}));
    EXPECT_EQ(chooser.count(), 1);
}

TEST(LeftColumnView, StripSelectionAndTheViewerFitZoomPanAndPinch)
{
    MonitorFixture f;
    CameraConnection &a = f.addCamera();
    ViewHarness h("LeftColumnView", f.ws, {936, 566});
    ASSERT_TRUE(h.ok());
    EXPECT_THAT(h.texts(), IsSupersetOf({"Última foto capturada", "Aún no hay fotos"}));
    QStringList ids;
    for (const QString name : {"A.JPG", "B.JPG", "C.JPG"})
        ids.append(f.addPhoto(a, name, name != "B.JPG").id().toString(QUuid::WithoutBraces));
    h.settle();
    EXPECT_FALSE(h.texts().contains("Aún no hay fotos") || h.one("placeholder"));
    QList<QQuickItem *> row = h.named("tile");
    std::sort(row.begin(), row.end(), [](QQuickItem *l, QQuickItem *r) { return l->x() < r->x(); });
    ASSERT_EQ(row.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QList<QQuickItem *> items = itemsBelow(row[i]);
        const bool marked = std::any_of(items.begin(), items.end(), [](QQuickItem *item) {
            return item->objectName() == "unsavedMark" && item->isVisible();
        });
        EXPECT_EQ(row[i]->property("photoId").toString(), ids[2 - i]) << "newest first";
        EXPECT_EQ(row[i]->property("selected").toBool(), i == 0) << "the newest is selected";
        EXPECT_EQ(marked, i == 1) << "only B was not stored";
        EXPECT_EQ(row[i]->size(), QSizeF(144, 96));
    }

    // The viewer: 936 × 566 less the insets of 18 and the strip's 96 + 14 leave 900 × 420.
    auto *viewer = qobject_cast<ZoomArea *>(h.one("fitImageView"));
    QQuickItem *card = h.one("imageCard");
    ASSERT_TRUE(viewer && card);
    EXPECT_EQ(viewer->identity(), ids[2]);
    EXPECT_EQ(viewer->size(), QSizeF(900, 420));
    EXPECT_EQ(card->size(), QSizeF(630, 420));
    const QPoint c = centre(viewer);
    h.drag(c, {30, -20});
    EXPECT_EQ(viewer->offset(), QPointF()) << "a fitted image does not move";
    QTest::mouseDClick(h.window(), Qt::LeftButton, {}, c);
    EXPECT_EQ(viewer->zoom(), 2.5);
    EXPECT_LT(viewer->shownScale(), 2.5) << "the change is animated";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->animating() && card->scale() == 2.5; }));
    const QPoint cardAt = centre(card);
    h.drag(c, {30, -20});
    EXPECT_EQ(centre(card), cardAt + QPoint(30, -20)) << "the image moves by exactly the drag";
    h.drag(c, {-10, 40});
    h.drag(c, {6, 6}, 2); // under 10 points: not a drag
    h.drag(c, {0, 12}, 1);
    EXPECT_EQ(viewer->offset(), QPointF(20, 32)) << "each drag continues from the last";
    QTest::mouseDClick(h.window(), Qt::LeftButton, {}, c);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->animating() && card->scale() == 1.0; }));
    EXPECT_EQ(viewer->offset(), QPointF());

    // Pinches: deltas multiply (1 + d); a pinch starts once the factor is 0.01 away from 1.
    auto pinch = [&](Qt::NativeGestureType type, double value) {
        const QPointF at = centre(viewer);
        QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, at, at,
                                  h.window()->mapToGlobal(at), value, QPointF());
        QCoreApplication::sendEvent(h.window(), &event);
        return viewer->shownScale();
    };
    pinch(Qt::BeginNativeGesture, 0);
    EXPECT_EQ(pinch(Qt::ZoomNativeGesture, 0.005), 1.0);
    EXPECT_GT(pinch(Qt::ZoomNativeGesture, 0.006), 1.01);
    pinch(Qt::ZoomNativeGesture, 0.5);
    EXPECT_GT(pinch(Qt::ZoomNativeGesture, 4.0), 6.0) << "no limit while pinching";
    EXPECT_EQ(pinch(Qt::EndNativeGesture, 0), 6.0);

    // Clicking B frames B, shows it, and starts the viewer afresh.
    h.click(row[1]);
    EXPECT_EQ(f.monitor->selectedPhotoId().toString(QUuid::WithoutBraces), ids[1]);
    EXPECT_TRUE(row[1]->property("selected").toBool() && !row[0]->property("selected").toBool());
    EXPECT_EQ(viewer->identity(), ids[1]);
    EXPECT_EQ(viewer->shownScale(), 1.0);
    a.status = CameraStatus::Paused;
    f.changed();
    EXPECT_EQ(static_cast<FixedPreview *>(a.photos[1].preview.get())->calls, 2) << "decoded once each time it is shown";

    f.monitor->setSelectedPhotoId(f.addPhoto(a, "D.JPG", true, false).id());
    EXPECT_TRUE(h.one("placeholder") && h.texts().contains("Última foto capturada")) << "a photo without a preview";
    f.monitor->setDirectorModeOn(true);
    EXPECT_TRUE(h.texts().contains("Live view")) << "director mode without a live frame";
}

TEST(MetadataSidebarView, RowsShowThePhotoOrDashes)
{
    MonitorFixture f;
    ViewHarness h("MetadataSidebarView", f.ws, {236, 560});
    ASSERT_TRUE(h.ok());
    EXPECT_THAT(h.texts(), IsSupersetOf({"AJUSTES DE CÁMARA", "ARCHIVO", "Obturador", "Apertura", "ISO", "Exposición",
                                         "Balance de blancos", "Nombre", "Hora", "Lente", "Tamaño", "Dimensiones"}));
    EXPECT_EQ(h.texts().count("—"), 10) << "every value is a dash without a photo";

    CameraConnection &a = f.addCamera();
    f.addPhoto(a, "DSCF_with_a_rather_long_name_0001.RAF", false);
    EXPECT_THAT(h.texts(), IsSupersetOf({"1/250", "f/2.8", "400", "+0.7", "AUTO", "14:03:09", "24.3 MB · RAW",
                                         "6240×4160", "XF 33mm F1.4 @33mm"}));
    EXPECT_TRUE(h.one("unsavedMark")) << "the unsaved photo is marked beside its name";
    EXPECT_TRUE(h.texts("help").contains("No se ha guardado en la carpeta de capturas"));
    h.save("metadata-unsaved");
    QQuickItem *name = h.one("row:Nombre")->childItems().at(1);
    EXPECT_LE(name->mapToScene({name->width(), 0}).x(), 236 - 16 + 0.5) << "a long name wraps inside the column";
    EXPECT_GT(name->height(), 20);
    a.photos[0].storage = CapturedPhoto::Storage::Stored;
    f.changed();
    EXPECT_FALSE(h.one("unsavedMark"));
}

TEST(DirectorSidebarView, RowsInOrderSlidersSendEveryStepAndButtons)
{
    MonitorFixture f;
    CameraConnection &a = f.addCamera();
    ViewHarness h("DirectorSidebarView", f.ws, {236, 560});
    ASSERT_TRUE(h.ok());
    EXPECT_THAT(h.texts(), IsSupersetOf({"Director activo", "Esperando parámetros de la cámara…", "no soportado", "AF", "Enfocar"}));
    EXPECT_TRUE(h.texts("help").contains("No implementado todavía en el protocolo — solo dispara S1+S2 juntos (botón Enfocar)"));
    QQuickItem *exposure = h.one("exposureSlider");
    ASSERT_TRUE(exposure);
    EXPECT_FALSE(exposure->isEnabled());
    EXPECT_EQ(exposure->opacity(), 0.45);

    a.paramState["filmSimulation"] = {11, {1, 2, 11, 12}};
    a.paramState["iso"] = {800, {200, 400, 800, 1600, 3200}};
    a.paramState["shutterSpeed"] = {4000, {4000}};
    a.paramState["exposureComp"] = {0, {-3, 0, 3}};
    f.changed();
    h.settle();
    EXPECT_FALSE(h.texts().contains("Esperando parámetros de la cámara…") || h.texts().contains("no soportado"));
    EXPECT_THAT(h.texts(), IsSupersetOf({"Velocidad", "1/250s", "Simulación de película", "Classic Chrome", "#0"}));
    EXPECT_TRUE(exposure->isEnabled());
    EXPECT_EQ(exposure->opacity(), 1.0);
    for (QQuickItem *label : h.named("paramLabel")) {
        EXPECT_GE(label->width() + 0.5, label->implicitWidth()) << "labels show in full";
        EXPECT_LE(label->parentItem()->width(), 236 - 32 + 0.5) << "nothing is wider than the sidebar";
    }
    QList<QQuickItem *> sliders = h.named("paramSlider");
    ASSERT_EQ(sliders.size(), 3) << "one allowed value: no slider";
    QQuickItem *iso = sliders[0];
    EXPECT_EQ(QPointF(iso->property("value").toReal(), iso->property("to").toReal()), QPointF(2, 4)) << "800 of 5 values";
    h.save("director-sidebar");

    // Drag the ISO handle from 800 to the left end: every step on the way is sent at once.
    const QPoint from = centre(iso->property("handle").value<QQuickItem *>());
    const QPoint to = iso->mapToScene({2, iso->height() / 2}).toPoint();
    QTest::mousePress(h.window(), Qt::LeftButton, {}, from);
    for (int i = 1; i <= 12; ++i)
        QTest::mouseMove(h.window(), from + (to - from) * i / 12);
    EXPECT_EQ(f.commands(a), QStringList({"setParam iso 400", "setParam iso 200"})) << "while dragging";
    QTest::mouseRelease(h.window(), Qt::LeftButton, {}, to);
    EXPECT_TRUE(h.texts().contains("200"));

    // The exposure slider never moves and never sends; "Enfocar" fires the shutter.
    h.drag(centre(exposure), {60, 0}, 1);
    EXPECT_EQ(exposure->property("value").toDouble(), 0);
    h.click(h.one("focusButton"));
    EXPECT_EQ(f.commands(a).size(), 3);
    EXPECT_EQ(f.commands(a).last(), "shutter");
}

} // namespace
