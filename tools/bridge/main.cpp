// halvane-bridge: a camera-bridge simulator. It finds the workstation by DNS-SD (or is given
// an address), connects one TCP connection per simulated camera and speaks the camera-link
// protocol as a bridge does: hello, parameter state, live view and photos, answering the
// application's commands. Events go to stdout, one line each; see --help.

#include <QCommandLineParser>
#include <QDir>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

#include "ServiceBrowser.h"
#include "SimCamera.h"

namespace {

void say(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

bool parseSize(const QString &text, QSize &out)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okW = false;
    bool okH = false;
    if (parts.size() != 2)
        return false;
    const int w = parts[0].toInt(&okW);
    const int h = parts[1].toInt(&okH);
    if (!okW || !okH || w < 1 || h < 1 || w > 20000 || h > 20000)
        return false;
    out = QSize(w, h);
    return true;
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "halvane-bridge: %s\n", message.toUtf8().constData());
    std::exit(64);
}

} // namespace

int main(int argc, char **argv)
{
    // Rendering needs fonts but no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The simulator draws its photos but shows no window. Under X the platform plugin would take
    // X options such as "--name" out of the arguments before they are parsed here.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("halvane-bridge"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Camera-bridge simulator: connects to Halvane like a real bridge and sends hello, "
        "parameter state, live view and photos, and answers commands.\n"
        "Output, one line per event: resolved PORT HOST NAME | connected CAM PORT | "
        "sent-hello CAM NAME | sent-state CAM | sent-live CAM SEQ | "
        "sent-photo CAM BYTES SHA256 NAME | command CAM JSON (exactly as received) | "
        "param CAM KEY VALUE applied|rejected|unknown | malformed CAM KIND | closed CAM | "
        "error CAM TEXT | exit REASON."));
    parser.addHelpOption();
    const QCommandLineOption hostOpt(QStringLiteral("host"), QStringLiteral("Connect to HOST instead of browsing DNS-SD."), QStringLiteral("host"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("TCP port (with --host)."), QStringLiteral("port"));
    const QCommandLineOption serviceOpt(QStringLiteral("service-name"), QStringLiteral("Browse DNS-SD for the service with exactly this name (default: the first found)."), QStringLiteral("name"));
    const QCommandLineOption typeOpt(QStringLiteral("service-type"), QStringLiteral("DNS-SD service type."), QStringLiteral("type"), QStringLiteral("_halvane._tcp"));
    const QCommandLineOption camerasOpt(QStringLiteral("cameras"), QStringLiteral("Number of cameras, each with its own connection."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption nameOpt(QStringLiteral("name"), QStringLiteral("Camera name (numbered when several cameras run)."), QStringLiteral("name"), QStringLiteral("Sim Camera"));
    const QCommandLineOption noHelloOpt(QStringLiteral("no-hello"), QStringLiteral("Do not send a hello frame."));
    const QCommandLineOption noStateOpt(QStringLiteral("no-state"), QStringLiteral("Do not send a state frame on connecting."));
    const QCommandLineOption liveOpt(QStringLiteral("live-fps"), QStringLiteral("Live-view frames per second (0: none)."), QStringLiteral("fps"), QStringLiteral("0"));
    const QCommandLineOption liveSizeOpt(QStringLiteral("live-size"), QStringLiteral("Live-view frame size."), QStringLiteral("WxH"), QStringLiteral("1280x853"));
    const QCommandLineOption photosOpt(QStringLiteral("photos"), QStringLiteral("Photos each camera sends on its own, one per interval."), QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption intervalOpt(QStringLiteral("interval-ms"), QStringLiteral("Interval between those photos."), QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption photoSizeOpt(QStringLiteral("photo-size"), QStringLiteral("Pixel size of generated photos."), QStringLiteral("WxH"), QStringLiteral("3000x2000"));
    const QCommandLineOption orientationOpt(QStringLiteral("orientation"), QStringLiteral("EXIF orientation of generated photos (1-8)."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption folderOpt(QStringLiteral("folder"), QStringLiteral("Send the files of this folder (in name order, cycling) instead of generated photos."), QStringLiteral("dir"));
    const QCommandLineOption malformedOpt(QStringLiteral("malformed"), QStringLiteral("After hello and state, send a broken frame of this kind: %1. Most kinds are followed by a hello naming the camera \"NAME (after)\"; huge-header then stays silent, truncated then closes.").arg(SimCamera::malformedKinds().join(QStringLiteral(", "))), QStringLiteral("kind"));
    const QCommandLineOption prerenderedOpt(QStringLiteral("prerendered"), QStringLiteral("Render one photo and eight live frames once and reuse them; every photo still differs by a JPEG comment (for load tests)."));
    const QCommandLineOption exitPhotosOpt(QStringLiteral("exit-after-photos"), QStringLiteral("Exit once every camera has sent N photos and they have left the process."), QStringLiteral("n"));
    const QCommandLineOption exitCommandsOpt(QStringLiteral("exit-after-commands"), QStringLiteral("Exit once N commands have arrived (all cameras together)."), QStringLiteral("n"));
    const QCommandLineOption exitMsOpt(QStringLiteral("exit-after-ms"), QStringLiteral("Exit after this many milliseconds."), QStringLiteral("ms"));
    const QCommandLineOption discoveryTimeoutOpt(QStringLiteral("discovery-timeout-ms"), QStringLiteral("Give up (exit 2) when no service is found in time (0: wait forever)."), QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({hostOpt, portOpt, serviceOpt, typeOpt, camerasOpt, nameOpt, noHelloOpt, noStateOpt,
                       liveOpt, liveSizeOpt, photosOpt, intervalOpt, photoSizeOpt, orientationOpt, folderOpt,
                       malformedOpt, prerenderedOpt, exitPhotosOpt, exitCommandsOpt, exitMsOpt, discoveryTimeoutOpt});
    parser.process(app);

    SimOptions options;
    options.sendHello = !parser.isSet(noHelloOpt);
    options.sendState = !parser.isSet(noStateOpt);
    options.prerendered = parser.isSet(prerenderedOpt);
    bool ok = true;
    options.liveFps = parser.value(liveOpt).toDouble(&ok);
    if (!ok || options.liveFps < 0 || options.liveFps > 240)
        usageError(QStringLiteral("--live-fps wants a number from 0 to 240"));
    if (!parseSize(parser.value(liveSizeOpt), options.liveSize))
        usageError(QStringLiteral("--live-size wants WxH"));
    if (!parseSize(parser.value(photoSizeOpt), options.photoSize))
        usageError(QStringLiteral("--photo-size wants WxH"));
    options.photos = parser.value(photosOpt).toInt(&ok);
    if (!ok || options.photos < 0)
        usageError(QStringLiteral("--photos wants a count"));
    options.intervalMs = parser.value(intervalOpt).toInt(&ok);
    if (!ok || options.intervalMs < 0)
        usageError(QStringLiteral("--interval-ms wants milliseconds"));
    options.orientation = parser.value(orientationOpt).toInt(&ok);
    if (!ok || options.orientation < 1 || options.orientation > 8)
        usageError(QStringLiteral("--orientation wants 1 to 8"));
    if (parser.isSet(folderOpt)) {
        QDir dir(parser.value(folderOpt));
        for (const QString &file : dir.entryList(QDir::Files, QDir::Name))
            options.folderFiles.append(dir.filePath(file));
        if (options.folderFiles.isEmpty())
            usageError(QStringLiteral("--folder has no files"));
    }
    if (parser.isSet(malformedOpt)) {
        options.malformed = parser.value(malformedOpt);
        if (!SimCamera::malformedKinds().contains(options.malformed))
            usageError(QStringLiteral("unknown --malformed kind; one of: ") + SimCamera::malformedKinds().join(QStringLiteral(", ")));
    }
    const int cameraCount = parser.value(camerasOpt).toInt(&ok);
    if (!ok || cameraCount < 1 || cameraCount > 64)
        usageError(QStringLiteral("--cameras wants 1 to 64"));
    const int exitPhotos = parser.isSet(exitPhotosOpt) ? parser.value(exitPhotosOpt).toInt() : -1;
    const int exitCommands = parser.isSet(exitCommandsOpt) ? parser.value(exitCommandsOpt).toInt() : -1;

    std::vector<std::unique_ptr<SimCamera>> cameras;
    const QString baseName = parser.value(nameOpt);
    for (int i = 1; i <= cameraCount; ++i) {
        const QString name = cameraCount == 1 ? baseName : QStringLiteral("%1 %2").arg(baseName).arg(i);
        cameras.push_back(std::make_unique<SimCamera>(i, name, options));
    }

    auto finish = [&app](const QString &reason, int code) {
        say(QStringLiteral("exit ") + reason);
        app.exit(code);
    };
    // Exit checks run after each event that can complete a condition.
    auto check = [&] {
        if (exitPhotos >= 0) {
            bool done = true;
            for (const auto &cam : cameras)
                done = done && cam->photosSent() >= exitPhotos && cam->flushed();
            if (done) {
                finish(QStringLiteral("photos"), 0);
                return;
            }
        }
        if (exitCommands >= 0) {
            int total = 0;
            for (const auto &cam : cameras)
                total += cam->commandsReceived();
            if (total >= exitCommands) {
                finish(QStringLiteral("commands"), 0);
                return;
            }
        }
        bool allClosed = true;
        for (const auto &cam : cameras)
            allClosed = allClosed && cam->isClosed();
        if (allClosed)
            finish(QStringLiteral("closed"), 0);
    };
    // A photo is on its way once the kernel has it: poll that cheaply while a condition waits.
    QTimer flushPoll;
    flushPoll.setInterval(20);
    QObject::connect(&flushPoll, &QTimer::timeout, &app, check);
    for (const auto &cam : cameras) {
        QObject::connect(cam.get(), &SimCamera::photoSent, &app, [&] { if (exitPhotos >= 0) flushPoll.start(); });
        QObject::connect(cam.get(), &SimCamera::commandReceived, &app, check);
        QObject::connect(cam.get(), &SimCamera::closed, &app, check);
    }
    if (exitPhotos == 0)
        flushPoll.start();

    if (parser.isSet(exitMsOpt))
        QTimer::singleShot(parser.value(exitMsOpt).toInt(), &app, [&] { finish(QStringLiteral("time"), 0); });

    auto connectAll = [&](const QString &host, quint16 port) {
        for (const auto &cam : cameras)
            cam->connectTo(host, port);
    };

    std::unique_ptr<ServiceBrowser> browser;
    // Outlive the browsing lambdas below, which run from the event loop.
    const QString wanted = parser.value(serviceOpt);
    bool connected = false;
    if (parser.isSet(hostOpt)) {
        const int port = parser.value(portOpt).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            usageError(QStringLiteral("--host needs --port 1-65535"));
        connectAll(parser.value(hostOpt), quint16(port));
    } else {
        browser = std::make_unique<ServiceBrowser>(parser.value(typeOpt));
        QObject::connect(browser.get(), &ServiceBrowser::found, &app,
                         [](const QString &name) { say(QStringLiteral("found ") + name); });
        QObject::connect(browser.get(), &ServiceBrowser::resolved, &app,
                         [&](const QString &name, const QString &host, quint16 port) {
                             say(QStringLiteral("resolved %1 %2 %3").arg(port).arg(host, name));
                             if (connected || (!wanted.isEmpty() && name != wanted))
                                 return;
                             connected = true;
                             connectAll(host, port);
                         });
        QObject::connect(browser.get(), &ServiceBrowser::failed, &app,
                         [](const QString &why) { say(QStringLiteral("error 0 DNS-SD: ") + why); });
        if (!browser->start())
            return 2;
        const int timeout = parser.value(discoveryTimeoutOpt).toInt();
        if (timeout > 0) {
            QTimer::singleShot(timeout, &app, [&] {
                if (!connected)
                    finish(QStringLiteral("not-found"), 2);
            });
        }
    }
    const int status = app.exec();
    // Cameras go first, while everything their signals reach still exists.
    cameras.clear();
    return status;
}
