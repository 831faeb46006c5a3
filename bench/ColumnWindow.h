#pragma once

// The photo column (the viewer over the thumbnail strip) in a window of its own, as the
// benchmarks show it, and the time from selecting a photo to its preview on screen.

#include <QElapsedTimer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <climits>
#include <memory>

#include "BenchSupport.h"
#include "PictureItem.h"
#include "WindowState.h"
#include "state/Monitor.h"

namespace bench {

struct ColumnWindow {
    explicit ColumnWindow(Monitor &shownMonitor, QSize size = {943, 570})
        : monitor(shownMonitor)
        , state(shownMonitor)
    {
        engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
        QQmlComponent component(&engine);
        component.setData("import Halvane.Ui\nLeftColumnView {}\n", QUrl(QStringLiteral("qrc:/bench/Column.qml")));
        root.reset(component.createWithInitialProperties({{QStringLiteral("ws"), QVariant::fromValue(&state)}}));
        column = qobject_cast<QQuickItem *>(root.get());
        error = component.errorString();
        if (!column)
            return;
        window.resize(size);
        column->setParentItem(window.contentItem());
        column->setSize(size);
        window.show();
        picture = column->findChild<PictureItem *>(QStringLiteral("picture"));
        if (!picture || !QTest::qWaitForWindowExposed(&window)) {
            error = QStringLiteral("the window never showed");
            column = nullptr;
        }
    }

    // Milliseconds from selecting the photo to the first frame swapped after the viewer uploaded
    // an image wider than `standInWidth` (the thumbnail shown meanwhile is not the preview);
    // -1 when it does not show within 30 s.
    double selectToPreviewMs(const QUuid &photoId, int standInWidth)
    {
        ViewerSource &viewer = *state.viewer();
        int uploadsAtDecoded = INT_MAX;
        double elapsed = -1;
        QElapsedTimer timer;
        const QMetaObject::Connection decoded = QObject::connect(&viewer, &ViewerSource::imageChanged, [&] {
            if (viewer.image().width() > standInWidth && uploadsAtDecoded == INT_MAX)
                uploadsAtDecoded = picture->uploads();
        });
        const QMetaObject::Connection swapped = QObject::connect(
            &window, &QQuickWindow::frameSwapped, &window,
            [&] {
                if (elapsed < 0 && picture->uploads() > uploadsAtDecoded)
                    elapsed = double(timer.nsecsElapsed()) / 1e6;
            },
            Qt::QueuedConnection);
        timer.start();
        monitor.setSelectedPhotoId(photoId);
        runUntil([&] { return elapsed >= 0; }, 30000);
        QObject::disconnect(decoded);
        QObject::disconnect(swapped);
        return elapsed;
    }

    Monitor &monitor;
    QQmlEngine engine;
    WindowState state;
    QQuickWindow window;
    QQuickItem *column = nullptr; // null when it could not be shown (see error)
    PictureItem *picture = nullptr; // the viewer's
    QString error;
    std::unique_ptr<QObject> root; // declared last: destroyed first
};

} // namespace bench
