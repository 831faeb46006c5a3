// The folder chooser through the desktop portal and the file menu through the file manager,
// against fakes of both on a private bus: this executable starts its own dbus-daemon and points
// the session bus at it before anything uses it, so the machine's own session bus is never touched.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include <gtest/gtest.h>

#include "FolderChooser.h"
#include "UiFixtures.h"

namespace {

// org.freedesktop.portal.FileChooser as far as the chooser uses it: records the call and answers
// on the request object the way the portal does, or fails the call.
class FakePortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
public:
    explicit FakePortal(const QDBusConnection &bus) : m_bus(bus) {}
    uint response = 0;
    QStringList uris;
    bool fail = false;
    bool hold = false; // the dialog stays open until answer()
    // OpenFile calls so far
    int calls = 0;
    QString title;
    QVariantMap options;

public slots:
    QDBusObjectPath OpenFile(const QString &, const QString &heading, const QVariantMap &opts, const QDBusMessage &call)
    {
        title = heading;
        options = opts;
        ++calls;
        if (fail) {
            call.setDelayedReply(true);
            m_bus.send(call.createErrorReply(QDBusError::AccessDenied, "no"));
            return {};
        }
        const QString path = "/org/freedesktop/portal/desktop/request/" + call.service().mid(1).replace('.', '_')
            + "/" + opts.value("handle_token").toString();
        m_open = path;
        if (!hold)
            QTimer::singleShot(0, this, &FakePortal::answer);
        return QDBusObjectPath(path);
    }

public:
    void answer()
    {
        QDBusMessage answer = QDBusMessage::createSignal(m_open, "org.freedesktop.portal.Request", "Response");
        answer << response << QVariantMap{{"uris", uris}};
        m_bus.send(answer);
    }

private:
    QDBusConnection m_bus;
    QString m_open; // the request of the last dialog
};

// org.freedesktop.FileManager1 as the file menu uses it: records the URIs and the startup id of
// each ShowItems call; answers it (mode 0), fails it (1) or never answers (2).
class FakeFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    int mode = 0;
    QList<QStringList> calls;

public slots:
    void ShowItems(const QStringList &uris, const QString &startupId, const QDBusMessage &call)
    {
        calls.append(uris + QStringList{startupId});
        call.setDelayedReply(mode > 0);
        if (mode == 1)
            QDBusConnection(QStringLiteral("fake-portal")).send(call.createErrorReply(QDBusError::Failed, "no"));
    }
};

FakePortal *portal = nullptr;

struct Spies {
    FolderChooser chooser;
    QSignalSpy chosen{&chooser, &FolderChooser::chosen};
    QSignalSpy cancelled{&chooser, &FolderChooser::cancelled};
    QSignalSpy inWindow{&chooser, &FolderChooser::inWindowRequested};
    [[nodiscard]] QList<qsizetype> counts() const { return {chosen.count(), cancelled.count(), inWindow.count()}; }
};

// A second request while the dialog is open (the toolbar's button again, the quit question's
// "Elegir carpeta…") opens no second dialog, and the open dialog's choice still comes back.
TEST(Portal, TheDesktopsDialogOpensAtTheStartFolderAndItsChoiceComesBack)
{
    const QUrl chosen = QUrl::fromLocalFile("/srv/fotos/Sesión A");
    portal->response = 0;
    portal->uris = {chosen.toString(QUrl::FullyEncoded)};
    portal->hold = true;
    Spies s;
    s.chooser.open(QUrl::fromLocalFile("/home/ana/Imágenes"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return portal->calls == 1; }, 5000));
    s.chooser.open(QUrl::fromLocalFile("/home"));
    portal->hold = false;
    portal->answer();
    ASSERT_TRUE(s.chosen.wait(5000));
    EXPECT_EQ(portal->calls, 1);
    EXPECT_EQ(s.chosen[0][0].toUrl(), chosen);
    EXPECT_EQ(s.counts(), QList<qsizetype>({1, 0, 0}));
    EXPECT_TRUE(s.chooser.portalUsed());
    EXPECT_EQ(portal->title, "Elige la carpeta donde se guardarán las fotos entrantes.");
    EXPECT_EQ(portal->options.value("directory"), true);
    EXPECT_EQ(portal->options.value("modal"), true);
    EXPECT_EQ(portal->options.value("accept_label"), "Usar esta carpeta");
    EXPECT_EQ(portal->options.value("current_folder").toByteArray(), QByteArray("/home/ana/Imágenes", 19 + 1));
}

// Cancelled in the dialog, a failed call and no portal on the bus: the first is an answer, the
// other two hand the request to the window's own chooser.
TEST(Portal, CancelledFailedOrMissing)
{
    const QUrl start = QUrl::fromLocalFile("/home/ana");
    portal->response = 1;
    portal->uris = {};
    Spies s;
    s.chooser.open(start);
    ASSERT_TRUE(s.cancelled.wait(5000));
    EXPECT_EQ(s.counts(), QList<qsizetype>({0, 1, 0}));

    portal->fail = true;
    s.chooser.open(start);
    ASSERT_TRUE(s.inWindow.wait(5000));
    EXPECT_EQ(s.inWindow[0][0].toUrl(), start);
    EXPECT_FALSE(s.chooser.portalUsed());
    portal->fail = false;
    QDBusConnection bus = QDBusConnection(QStringLiteral("fake-portal"));
    ASSERT_TRUE(bus.unregisterService("org.freedesktop.portal.Desktop"));
    s.chooser.open(start);
    EXPECT_EQ(s.counts(), QList<qsizetype>({0, 1, 2}));
    ASSERT_TRUE(bus.registerService("org.freedesktop.portal.Desktop"));
}

// The file manager is asked to show the file by its percent-encoded URI. A call it fails, one it
// does not answer in time and one with no file manager on the bus open the file's folder instead
// (each time another, so a folder opened after the answered call would show).
TEST(FileManager, ShowsTheFileOrOpensItsFolder)
{
    QDBusConnection bus = QDBusConnection(QStringLiteral("fake-portal"));
    FakeFileManager fake;
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/FileManager1", &fake, QDBusConnection::ExportAllSlots)
                && bus.registerService("org.freedesktop.FileManager1"));
    MonitorFixture f;
    QList<QUrl> opened;
    f.ws.files()->setUrlOpener([&](const QUrl &url) { return opened.append(url), true; });
    f.ws.files()->setReplyTimeout(300);
    for (int mode : {0, 1, 2, 3}) {
        fake.mode = mode;
        ASSERT_TRUE(mode < 3 || bus.unregisterService("org.freedesktop.FileManager1"));
        f.ws.files()->showFileInFolder(QString("/srv/Sesión %1/Toma #1.JPG").arg(mode));
        // The fake serves this thread: each call is taken before the next mode is set.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return fake.calls.size() == qMin(mode + 1, 3) && opened.size() == mode; }));
    }
    EXPECT_EQ(fake.calls[0], QStringList({"file:///srv/Sesi%C3%B3n%200/Toma%20%231.JPG", ""}));
    EXPECT_EQ(opened, QList<QUrl>({QUrl::fromLocalFile("/srv/Sesión 1"), QUrl::fromLocalFile("/srv/Sesión 2"),
                                   QUrl::fromLocalFile("/srv/Sesión 3")}));
}

} // namespace

int main(int argc, char **argv)
{
    // A bus of our own with nothing to activate, so no real portal can start on it.
    QTemporaryDir dir;
    QFile config(dir.filePath("bus.conf"));
    config.open(QIODevice::WriteOnly);
    config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                 "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
    config.close();
    QProcess daemon;
    daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--print-address", "--nofork"});
    while (!daemon.canReadLine())
        if (!daemon.waitForReadyRead(10000))
            return std::fprintf(stderr, "dbus-daemon did not start\n"), 1;
    const QByteArray address = daemon.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);

    int status = 1;
    {
        QGuiApplication app(argc, argv);
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(address), "fake-portal");
        FakePortal fake(bus);
        portal = &fake;
        if (!bus.registerObject("/org/freedesktop/portal/desktop", &fake, QDBusConnection::ExportAllSlots)
            || !bus.registerService("org.freedesktop.portal.Desktop"))
            return std::fprintf(stderr, "the fake portal could not register\n"), 1;
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
        QDBusConnection::disconnectFromBus("fake-portal");
    }
    daemon.terminate();
    daemon.waitForFinished(5000);
    return status;
}

#include "PortalTest.moc"
