// bench_usb: a shutter press in Halvane to the photo listed, through the USB bridge and
// libgphoto2's virtual USB camera, beside the bare transfer of the same file from the same
// virtual camera in the same run.
//
//   IOLIBS=$(scripts/vusb-setup) bench_usb [folder] [shots]     (defaults: /tmp, 10)
//
// Halvane's side is the application core in this process: a Monitor listening on loopback,
// whose triggerShutter() is what the shutter buttons call. The bridge is halvane-usb-bridge, a
// process of its own, given the address. The virtual camera's captures copy a 24 MP JPEG from
// its folder (VCAMERADIR). Each figure runs from triggerShutter() to the photo's record in the
// camera's list (the file written, the record built): the command's way to the bridge, the
// capture, the camera's event, the download and the file frame. The anchor opens the virtual
// camera here through the same backend, captures, and times the download alone.

#include <chrono>
#include <cstdio>

#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "GphotoBackend.h"
#include "SampleFiles.h"
#include "state/Monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// Captures with the virtual camera and times the download of the file it announces.
std::optional<double> bareTransfer(usb::CameraDevice &camera)
{
    if (camera.triggerCapture() != usb::Status::Ok)
        return std::nullopt;
    for (int round = 0; round < 100; ++round) {
        usb::CameraEvent event;
        if (camera.waitForEvent(100, event) != usb::Status::Ok)
            return std::nullopt;
        if (event.type == usb::CameraEvent::Type::FileAdded) {
            QByteArray content;
            const Clock::time_point start = Clock::now();
            if (camera.download(event.folder, event.name, content) != usb::Status::Ok || content.isEmpty())
                return std::nullopt;
            return msSince(start);
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    bench::headless();
    QGuiApplication app(argc, argv);
    const QString root = bench::folderArg(argc, argv);
    const int shots = argc > 2 ? std::max(1, QString::fromLocal8Bit(argv[2]).toInt()) : 10;
    if (!QFile::exists(qEnvironmentVariable("IOLIBS") + QStringLiteral("/vusb.so"))) {
        std::fprintf(stderr, "bench_usb: IOLIBS must name the virtual USB port module: IOLIBS=$(scripts/vusb-setup)\n");
        return 1;
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-usb-XXXXXX"));
    const QString cameraDir = dir.filePath(QStringLiteral("camera"));
    QDir().mkpath(cameraDir);
    const QImage picture = bench::cameraLikePicture(QSize(6000, 4000));
    const QByteArray jpeg = SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107), 92);
    QFile still(cameraDir + QStringLiteral("/still.jpg"));
    if (jpeg.isEmpty() || !still.open(QIODevice::WriteOnly) || still.write(jpeg) != jpeg.size()) {
        std::fprintf(stderr, "bench_usb: could not make the sample file\n");
        return 1;
    }
    still.close();
    qputenv("VCAMERADIR", cameraDir.toUtf8());

    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(dir.filePath(QStringLiteral("captures"))));
    if (!monitor.link().start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No)) {
        std::fprintf(stderr, "bench_usb: cannot listen\n");
        return 1;
    }
    QProcess bridge;
    bridge.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bridge.start(QStringLiteral(HALVANE_USB_BRIDGE_PATH),
                 {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                  QString::number(monitor.link().listener().port()), QStringLiteral("--live-fps"), QStringLiteral("0")});
    const auto photos = [&] { return monitor.cameras().isEmpty() ? 0 : int(monitor.cameras().constFirst()->photos.size()); };
    if (!bench::runUntil([&] { return !monitor.cameras().isEmpty() && !monitor.cameras().constFirst()->paramState.isEmpty(); }, 30'000)) {
        std::fprintf(stderr, "bench_usb: the bridge did not connect\n%s\n", bridge.readAllStandardOutput().constData());
        return 1;
    }
    std::printf("bench_usb: 24 MP JPEG of %.1f MB, %d shots (after one to warm up)\n", double(jpeg.size()) / 1e6, shots);

    std::vector<double> listed;
    for (int i = 0; i <= shots; ++i) {
        const int before = photos();
        const Clock::time_point start = Clock::now();
        monitor.triggerShutter();
        if (!bench::runUntil([&] { return photos() > before; }, 30'000)) {
            std::fprintf(stderr, "bench_usb: shot %d was not listed\n%s\n", i, bridge.readAllStandardOutput().constData());
            return 1;
        }
        if (i > 0)
            listed.push_back(msSince(start));
    }
    bridge.terminate();
    bridge.waitForFinished(10'000);

    usb::GphotoBackend backend;
    const QList<usb::DetectedCamera> found = backend.detect();
    QString error;
    std::unique_ptr<usb::CameraDevice> camera = found.isEmpty() ? nullptr : backend.open(found.constFirst(), error);
    std::vector<double> bare;
    for (int i = 0; camera && i <= shots; ++i) {
        const std::optional<double> ms = bareTransfer(*camera);
        if (!ms)
            break;
        if (i > 0)
            bare.push_back(*ms);
    }
    if (bare.size() != size_t(shots)) {
        std::fprintf(stderr, "bench_usb: the bare transfer failed %s\n", qPrintable(error));
        return 1;
    }
    std::printf("  shutter to photo listed: median %.1f ms, fastest %.1f ms\n", bench::median(listed),
                *std::min_element(listed.begin(), listed.end()));
    std::printf("figure usb_shutter_to_listed_ms %.1f ms\n", bench::median(listed));
    std::printf("figure usb_bare_transfer_ms %.1f ms\n", bench::median(bare));
    std::printf("figure usb_shutter_to_listed_ratio %.2f x\n", bench::median(listed) / bench::median(bare));
    return 0;
}
