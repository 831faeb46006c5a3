#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlExtensionPlugin>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QScreen>
#include <QTimer>

#include <unistd.h>

#include "ExitSignals.h"
#include "WindowState.h"
#include "ingest/PendingFolder.h"
#include "model/Logging.h"
#include "model/MemoryBudget.h"
#include "share/ShareService.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

// After SIGTERM or SIGINT the photos only in memory are written (a few files at most, each a
// write and a flush); a disk that hangs longer than this ends the process anyway.
constexpr unsigned kExitWriteSeconds = 30;

int main(int argc, char *argv[])
{
    MemoryBudget::tuneAllocator();
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("halvane"));
    QCoreApplication::setApplicationName(QStringLiteral("halvane"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Halvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.halvane.Halvane"));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/Halvane/App/halvane.svg")));
    // The views style the Basic controls themselves; a platform style would fight the palette.
    QQuickStyle::setStyle(QStringLiteral("Basic"));

    // Created before the window and kept for the whole run; the views get what they show from
    // the one WindowState over it, handed to the root as its required property.
    Monitor monitor;
    // Photos that cannot go into the capture folder wait on disk here; photos an earlier run
    // left here are stored as soon as a capture folder works.
    monitor.store().setPendingFolder(pending::defaultFolder());
    WindowState windowState(monitor);
    // The client view: off unless it was on when Halvane last ran.
    ShareService share(monitor);
    windowState.setShare(&share);

    // Ending on a signal skips the quit question, which nobody would see: photos whose only copy
    // is in memory go to the capture or the pending folder, and the store's destructor waits for
    // those writes (not for a backlog already safe on disk).
    ExitSignals exitSignals;
    QObject::connect(&exitSignals, &ExitSignals::received, &monitor, [&monitor](int sig) {
        const bool writing = monitor.store().keepMemoryPhotosForExit();
        qCInfo(lcUi).noquote() << "ending on signal" << sig
                               << (writing ? ": writing the photos only in memory first" : "");
        ::alarm(kExitWriteSeconds);
        QCoreApplication::exit(0);
    });
#if QT_CONFIG(sessionmanager)
    // The session ends: the same, before the session manager ends the process.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &monitor,
                     [&monitor] { monitor.store().keepMemoryPhotosForExit(); });
#endif

    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreationFailed, &app,
                     [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    engine.setInitialProperties({{QStringLiteral("windowState"), QVariant::fromValue(&windowState)}});
    engine.load(QUrl(QStringLiteral("qrc:/Halvane/App/Main.qml")));
    auto *window = engine.rootObjects().isEmpty() ? nullptr
                                                  : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window)
        return 1;

    // The camera link starts once the root view is on screen, exactly once per run. Frames are
    // reported from the render thread, so several may be queued before the first is handled.
    QObject::connect(window, &QQuickWindow::frameSwapped, &monitor, [&monitor, started = false]() mutable {
        if (started)
            return;
        started = true;
        monitor.start();
    }, Qt::QueuedConnection);

    if (QScreen *screen = window->screen()) {
        const QRect area = screen->availableGeometry();
        window->setPosition(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    window->show();
    window->raise();
    window->requestActivate();

    share.restore();

    // First launch: no folder was restored, so ask for one over the window just shown.
    if (monitor.folder().isEmpty())
        QTimer::singleShot(0, &monitor, [&monitor] { monitor.chooseFolder(); });

    return QGuiApplication::exec();
}
