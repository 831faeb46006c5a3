// halvane-usb-bridge: makes every camera on this computer's USB ports a network camera for
// Halvane. It finds the workstation by DNS-SD (or is given an address), opens one connection per
// camera, and speaks the camera-link protocol: hello with the camera's model, parameter state,
// live view and each new photo, and it carries out the application's commands. Built on Qt Core
// and Network only, so that a headless board beside the camera can run it. See --help and the
// manual page.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include "GphotoBackend.h"
#include "ServiceBrowser.h"
#include "UsbBridge.h"

namespace {

void say(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "halvane-usb-bridge: %s\n", message.toUtf8().constData());
    std::exit(64);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("halvane-usb-bridge"));
    // A stop request from the service manager ends the event loop, so cameras are closed: the
    // handler only writes a byte to a pipe, which the event loop reads.
    static int stopPipe[2] = {-1, -1};
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier stopNotifier(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    for (int sig : {SIGTERM, SIGINT}) {
        std::signal(sig, [](int) {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
        });
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Connects every camera on this computer's USB ports to Halvane, each as a camera of its own.\n"
        "Output, one line per event: resolved PORT HOST NAME | opened CAMERA MODEL [serial=S] | "
        "connected CAMERA HOST:PORT | sent-hello CAMERA NAME | sent-state CAMERA | "
        "sent-photo CAMERA BYTES NAME | command CAMERA JSON | param CAMERA KEY VALUE "
        "applied|rejected|unknown|failed | captured CAMERA | skipped CAMERA ... | failed CAMERA ... | "
        "closed CAMERA | gone CAMERA ..."));
    parser.addHelpOption();
    const QCommandLineOption hostOpt(QStringLiteral("host"), QStringLiteral("Connect to HOST instead of browsing DNS-SD."), QStringLiteral("host"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("TCP port (with --host)."), QStringLiteral("port"));
    const QCommandLineOption serviceOpt(QStringLiteral("service-name"), QStringLiteral("Connect to the DNS-SD service of exactly this name (default: the first found)."), QStringLiteral("name"));
    const QCommandLineOption typeOpt(QStringLiteral("service-type"), QStringLiteral("DNS-SD service type."), QStringLiteral("type"), QStringLiteral("_halvane._tcp"));
    const QCommandLineOption deleteOpt(QStringLiteral("delete-from-card"), QStringLiteral("Delete each photo from the camera once it has been sent (default: keep it)."));
    const QCommandLineOption liveOpt(QStringLiteral("live-fps"), QStringLiteral("Live-view frames per second at most, as far as the camera keeps up (0: no live view)."), QStringLiteral("fps"), QStringLiteral("10"));
    const QCommandLineOption maxFileOpt(QStringLiteral("max-file-mb"), QStringLiteral("Skip photos larger than this (MiB)."), QStringLiteral("mib"), QStringLiteral("1024"));
    const QCommandLineOption scanOpt(QStringLiteral("scan-ms"), QStringLiteral("How often to look for cameras plugged in."), QStringLiteral("ms"), QStringLiteral("2000"));
    parser.addOptions({hostOpt, portOpt, serviceOpt, typeOpt, deleteOpt, liveOpt, maxFileOpt, scanOpt});
    parser.process(app);

    usb::SessionOptions options;
    options.deleteFromCard = parser.isSet(deleteOpt);
    bool ok = false;
    options.liveFps = parser.value(liveOpt).toDouble(&ok);
    if (!ok || options.liveFps < 0 || options.liveFps > 60)
        usageError(QStringLiteral("--live-fps wants a number from 0 to 60"));
    const qint64 maxMiB = parser.value(maxFileOpt).toLongLong(&ok);
    if (!ok || maxMiB < 1 || maxMiB > 4095)
        usageError(QStringLiteral("--max-file-mb wants 1 to 4095"));
    options.maxFileBytes = maxMiB << 20;
    const int scanMs = parser.value(scanOpt).toInt(&ok);
    if (!ok || scanMs < 100)
        usageError(QStringLiteral("--scan-ms wants at least 100"));

    usb::GphotoBackend backend;
    usb::UsbBridge bridge(backend, options);

    std::unique_ptr<ServiceBrowser> browser;
    const QString wanted = parser.value(serviceOpt);
    QString chosen; // the service the cameras go to, once one is found
    QTimer rebrowse;
    constexpr int kRebrowseMs = 2000;
    std::function<bool()> browse; // (re)starts browsing; called from the event loop
    if (parser.isSet(hostOpt)) {
        const int port = parser.value(portOpt).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            usageError(QStringLiteral("--host needs --port 1-65535"));
        bridge.setTarget(parser.value(hostOpt), quint16(port));
    } else {
        browse = [&] {
            browser = std::make_unique<ServiceBrowser>(parser.value(typeOpt));
            QObject::connect(browser.get(), &ServiceBrowser::resolved, &app, [&](const QString &name, const QString &host, quint16 port) {
                say(QStringLiteral("resolved %1 %2 %3").arg(port).arg(host, name));
                // The service found first (or the one asked for) is followed, also when it comes
                // back on another port after the application restarted.
                if ((!wanted.isEmpty() && name != wanted) || (!chosen.isEmpty() && name != chosen))
                    return;
                chosen = name;
                bridge.setTarget(host, port);
            });
            QObject::connect(browser.get(), &ServiceBrowser::found, &app, [](const QString &name) { say(QStringLiteral("found ") + name); });
            QObject::connect(browser.get(), &ServiceBrowser::removed, &app, [](const QString &name) { say(QStringLiteral("removed ") + name); });
            QObject::connect(browser.get(), &ServiceBrowser::failed, &app,
                             [](const QString &why) { say(QStringLiteral("error DNS-SD: ") + why); });
            return browser->start();
        };
        if (!browse())
            return 2;
        // An application that restarts within a second keeps its name in every cache, so no
        // "removed" and "new" is seen for it: a lost connection looks the service up afresh,
        // at most every few seconds.
        rebrowse.setSingleShot(true);
        rebrowse.setInterval(kRebrowseMs);
        QObject::connect(&rebrowse, &QTimer::timeout, &app, [&] { browse(); });
        QObject::connect(&bridge, &usb::UsbBridge::linkLost, &app, [&] {
            if (!rebrowse.isActive())
                rebrowse.start();
        });
    }
    bridge.start(scanMs);
    const int status = app.exec();
    say(QStringLiteral("exit"));
    return status;
}
