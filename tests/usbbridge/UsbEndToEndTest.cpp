// The USB bridge over libgphoto2's virtual USB camera (a PTP camera whose captures are the JPEG
// files of VCAMERADIR), with the application core, in the private network namespace: the bridge
// finds the application by DNS-SD, and what the camera makes arrives unchanged.
#include <QDir>
#include <QFile>
#include <QImage>

#include "HostHarness.h"
#include "link/ServiceAdvertiser.h"

namespace {

class UsbEndToEnd : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("IOLIBS")) << "IOLIBS names the virtual USB port module (scripts/vusb-setup)";
        ASSERT_TRUE(QFile::exists(qEnvironmentVariable("IOLIBS") + "/vusb.so"));
        const QString cameraDir = dir.filePath("vcamera");
        ASSERT_TRUE(QDir().mkpath(cameraDir));
        QImage image(640, 480, QImage::Format_RGB32);
        image.fill(QColor(40, 90, 160));
        photo = cameraDir + "/still.jpg";
        ASSERT_TRUE(image.save(photo, "JPEG"));
        qputenv("VCAMERADIR", cameraDir.toUtf8());
        startAvahi();
    }

    LineProcess &usbBridge()
    {
        // Among the harness's bridges, whose output it shows when a test fails.
        bridges.push_back(std::make_unique<LineProcess>(QStringLiteral("usb bridge %1").arg(bridges.size() + 1)));
        bridges.back()->start(qEnvironmentVariable("HALVANE_USB_BRIDGE"),
                              {"--service-name", ServiceAdvertiser::workstationServiceName(), "--scan-ms", "300"});
        return *bridges.back();
    }
    // Whether the stored photos, by file name, are all the camera's JPEG byte for byte, and
    // there are `count` of them.
    bool capturedWhole(qsizetype count) const
    {
        const QMap<QString, QString> stored = folderHashes(capture);
        const QString want = folderHashes(QFileInfo(photo).path()).value(QFileInfo(photo).fileName());
        const QStringList names = stored.keys();
        return stored.size() == count && std::none_of(names.cbegin(), names.cend(), [](const QString &n) { return n.startsWith('.'); })
               && std::all_of(stored.cbegin(), stored.cend(), [&](const QString &h) { return h == want; });
    }
    QString photo;
};

TEST_F(UsbEndToEnd, ShutterAndParametersThroughTheVirtualCamera)
{
    ASSERT_NE(startHost(), 0);
    ASSERT_TRUE(host.waitForLine(registeredLine()).hasMatch());
    LineProcess &cam = usbBridge();
    const QString model = cam.waitForLine("^opened \\S+ (.+?)( serial=.*)?$").captured(1);
    ASSERT_FALSE(model.isEmpty());
    // The hello names the camera by its model; the state carries the two parameters the
    // virtual camera has, with the values it offers.
    ASSERT_TRUE(host.waitForLine("^camera 0 status=receiving .*params=2 name=" + QRegularExpression::escape(model) + "$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 shutterSpeed 10000 9$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 aperture 280 18$").hasMatch());

    host.write("director");
    EXPECT_TRUE(cam.waitForLine(R"(^command \S+ \{"cmd":"requestState"\}$)").hasMatch());
    host.write("shutter");
    EXPECT_TRUE(host.waitFor([&](const Host &) { return capturedWhole(1); }));

    // Set on the camera, then read back from its configuration; a value it does not offer is
    // refused and the camera's own value comes back.
    host.write("setParam shutterSpeed 5000");
    EXPECT_TRUE(cam.waitForLine("^param \\S+ shutterSpeed 5000 applied$").hasMatch());
    host.write("setParam aperture 560");
    EXPECT_TRUE(cam.waitForLine("^param \\S+ aperture 560 applied$").hasMatch());
    const int before = int(host.lines.size());
    host.write("setParam aperture 123");
    EXPECT_TRUE(cam.waitForLine("^param \\S+ aperture 123 rejected$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 aperture 560 18$", before).hasMatch());
    host.write("director");
    host.write("director");
    EXPECT_TRUE(cam.waitForLine(R"(^command \S+ \{"cmd":"requestState"\}$)", cam.lines.size()).hasMatch());
    EXPECT_EQ(host.matches("^param 0 shutterSpeed (\\d+) ").last(), "5000");
}

TEST_F(UsbEndToEnd, BridgeAndApplicationRestartUnderEachOther)
{
    ASSERT_NE(startHost(), 0);
    LineProcess *cam = &usbBridge();
    ASSERT_TRUE(host.waitForLine("^camera 0 status=receiving ").hasMatch());
    host.write("shutter");
    ASSERT_TRUE(host.waitFor([&](const Host &) { return capturedWhole(1); }));

    // The bridge goes and comes back: a second record, and it takes photos.
    cam->stop(true);
    ASSERT_TRUE(host.waitForLine("^camera 0 status=noSignal ").hasMatch());
    cam = &usbBridge();
    ASSERT_TRUE(host.waitForLine("^camera 1 status=receiving ").hasMatch());
    ASSERT_TRUE(host.waitForLine("^active 1$").hasMatch());
    host.write("shutter");
    EXPECT_TRUE(host.waitFor([&](const Host &) { return capturedWhole(2); }));

    // The application goes and comes back (on another port): the bridge follows it there.
    host.stop();
    ASSERT_TRUE(cam->waitForLine("^closed ").hasMatch());
    Host again;
    ASSERT_NE(again.start(dir.filePath("settings.ini"), capture), 0u);
    EXPECT_TRUE(again.waitForLine("^camera 0 status=receiving ", 0, 30000).hasMatch());
    again.write("shutter");
    EXPECT_TRUE(again.waitFor([&](const Host &) { return capturedWhole(3); }));
    if (HasFailure())
        std::fprintf(stderr, "--- host after restart:\n%s\n", qPrintable(again.lines.join('\n')));
}

} // namespace
