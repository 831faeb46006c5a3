// bench_click: from a click on the window's shutter button to the shutter command sent to the
// camera, while photos keep arriving, against the same clicks with nothing arriving, in the same
// run.
//
//   xvfb-run -a -s "-screen 0 1400x900x24" bench_click [folder] [clicks]   (defaults: /tmp, 30)
//
// The window is the real one: the shell view over a WindowState over a Monitor, 1180 × 620 as the
// application opens it, in director mode, with one camera whose connection notes the moment each
// command is handed to it (where the TCP connection would write it).
//
// The click is a real X input event. A thread of its own, with its own X connection, presses and
// releases the left button over the toolbar's shutter button through the XTEST extension, so the
// X server sends the window the same events a mouse would. The thread clicks at random moments
// 0.55 to 0.85 s apart (more than a double click's interval), so clicks fall anywhere in the
// window's work, not only when its event loop happens to be idle. Each figure is the time from
// flushing the press-and-release pair to the X server until the command reaches the connection:
// the X server, Qt's event reader, the main thread's event loop, delivery to the button and the
// command itself. The X round trip alone is printed beside it.
//
// Idle: `clicks` clicks with nothing arriving. Loaded: `clicks` clicks while photos arrive through
// Monitor::handleFile (what the camera link calls for each received file, after reading it off
// the socket) every 200 ms, a 24 MP JPEG without an EXIF thumbnail and a 4608 × 3456 HEIC without
// a thumbnail item in turn, so each needs a full decode for its thumbnail. They are stored in a
// temporary folder under `folder`, removed at the end. Loaded clicks start after the first
// photos have been listed and their thumbnails built.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "BenchSupport.h"
#include "SampleFiles.h"
#include "WindowState.h"
#include "model/Connection.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The camera's connection: notes when each command was handed over, for the clicking thread.
class TimedConnection : public Connection
{
public:
    void send(const QByteArray &bytes) override
    {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard lock(m_mutex);
            if (bytes.contains("\"shutter\"")) {
                m_lastShutter = now;
                ++m_shutters;
            }
        }
        m_sent.notify_all();
    }

    // When shutter command number `n` (counted from 1) was sent, or nothing after `timeout`.
    std::optional<Clock::time_point> waitForShutter(int n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        if (!m_sent.wait_for(lock, timeout, [&] { return m_shutters >= n; }))
            return std::nullopt;
        return m_lastShutter;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_sent;
    int m_shutters = 0;
    Clock::time_point m_lastShutter;
};

// Clicks at a point of the X screen through XTEST, from a thread of its own, and times each click
// to its shutter command.
class Clicker
{
public:
    Clicker(QPoint target, TimedConnection &conn) : m_target(target), m_conn(conn) { }
    ~Clicker()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (m_x)
            xcb_disconnect(m_x);
    }

    // Opens the X connection and checks for XTEST; false with a message on stderr otherwise.
    bool open()
    {
        m_x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_x)) {
            std::fprintf(stderr, "bench_click: no X display\n");
            return false;
        }
        const xcb_query_extension_reply_t *xtest = xcb_get_extension_data(m_x, &xcb_test_id);
        if (!xtest || !xtest->present) {
            std::fprintf(stderr, "bench_click: the X server has no XTEST extension\n");
            return false;
        }
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_x)).data->root;
        // The pointer rests on the button from here on, as a hand on a mouse would.
        xcb_test_fake_input(m_x, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root, int16_t(m_target.x()),
                            int16_t(m_target.y()), 0);
        xcb_flush(m_x);
        return true;
    }

    // Starts `count` clicks; `done` turns true when they are over (or one got no command).
    void start(int count)
    {
        if (m_thread.joinable())
            m_thread.join();
        m_clickMs.clear();
        m_roundTripMs.clear();
        m_failed = false;
        m_done = false;
        m_thread = std::thread([this, count] { run(count); });
    }
    [[nodiscard]] bool done() const { return m_done; }
    [[nodiscard]] bool failed() const { return m_failed; }
    // Valid once done().
    [[nodiscard]] const std::vector<double> &clickMs() const { return m_clickMs; }
    [[nodiscard]] const std::vector<double> &roundTripMs() const { return m_roundTripMs; }

private:
    void run(int count)
    {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(550, 850);
        for (int i = 0; i < count && !m_failed; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const Clock::time_point clicked = Clock::now();
            xcb_test_fake_input(m_x, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, m_root, 0, 0, 0);
            xcb_test_fake_input(m_x, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, m_root, 0, 0, 0);
            xcb_flush(m_x);
            const auto sent = m_conn.waitForShutter(++m_shutters, std::chrono::seconds(10));
            if (!sent) {
                std::fprintf(stderr, "bench_click: click %d sent no shutter command\n", i + 1);
                m_failed = true;
                break;
            }
            m_clickMs.push_back(msBetween(clicked, *sent));

            // The X round trip alone, from this thread: a request and its reply.
            const Clock::time_point asked = Clock::now();
            std::free(xcb_get_input_focus_reply(m_x, xcb_get_input_focus(m_x), nullptr));
            m_roundTripMs.push_back(msBetween(asked, Clock::now()));
        }
        m_done = true;
    }

    QPoint m_target;
    TimedConnection &m_conn;
    xcb_connection_t *m_x = nullptr;
    xcb_window_t m_root = 0;
    int m_shutters = 0;
    std::vector<double> m_clickMs;
    std::vector<double> m_roundTripMs;
    std::atomic<bool> m_failed = false;
    std::atomic<bool> m_done = false;
    std::thread m_thread;
};

// Runs the clicks and waits for them; the times, or nothing when a click was lost.
std::optional<std::vector<double>> clickRound(Clicker &clicker, int count)
{
    clicker.start(count);
    if (!QTest::qWaitFor([&] { return clicker.done(); }, count * 12'000) || clicker.failed())
        return std::nullopt;
    return clicker.clickMs();
}

double worst(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Basic")); // as the application does
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    const int clicks = argc > 2 ? std::max(3, QString::fromLocal8Bit(argv[2]).toInt()) : 30;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "bench_click: run it on an X display (xvfb-run is fine)\n");
        return 1;
    }

    // The photos: sensor-like grain makes their files as large as a camera's.
    std::printf("bench_click: making the sample photos…\n");
    std::fflush(stdout);
    const QImage jpegPicture = bench::cameraLikePicture(QSize(6000, 4000));
    const QByteArray jpeg = SampleFiles::jpeg(jpegPicture, SampleFiles::cameraTags());
    const QByteArray heic = SampleFiles::heic(bench::cameraLikePicture(QSize(4608, 3456)), SampleFiles::cameraTags());
    if (jpeg.isEmpty() || heic.isEmpty()) {
        std::fprintf(stderr, "bench_click: could not make the sample photos\n");
        return 1;
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-click-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_click: cannot make a folder in %s\n", qPrintable(root));
        return 1;
    }
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(dir.filePath(QStringLiteral("captures"))));
    auto owned = std::make_unique<TimedConnection>();
    TimedConnection &conn = *owned;
    auto cam = std::make_shared<CameraConnection>(std::move(owned));
    cam->name = QStringLiteral("Cámara");
    cam->status = CameraStatus::Receiving;
    // What a camera reports in director mode, so the sidebar shows its sliders.
    cam->paramState = {{QStringLiteral("iso"), {800, {200, 400, 800, 1600, 3200, 6400}}},
                       {QStringLiteral("shutterSpeed"), {250, {60, 125, 250, 500, 1000}}},
                       {QStringLiteral("exposureComp"), {0, {-3, -2, -1, 0, 1, 2, 3}}}};
    monitor.appendCamera(cam);
    monitor.setActiveCameraId(cam->id());
    monitor.setDirectorModeOn(true);
    WindowState windowState(monitor);

    // The shell is put in the window before it completes, as in the application, where its
    // popups find the window's overlay at once.
    QQuickWindow window;
    window.setPosition(0, 0);
    window.resize(1180, 620);
    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QQmlComponent component(&engine);
    component.setData("import Halvane.Ui\nShellView {}\n", QUrl(QStringLiteral("qrc:/bench/Click.qml")));
    std::unique_ptr<QObject> shell(component.beginCreate(engine.rootContext()));
    auto *item = qobject_cast<QQuickItem *>(shell.get());
    if (!item) {
        std::fprintf(stderr, "bench_click: %s\n", qPrintable(component.errorString()));
        return 1;
    }
    component.setInitialProperties(shell.get(), {{QStringLiteral("ws"), QVariant::fromValue(&windowState)}});
    item->setParentItem(window.contentItem());
    item->setSize(QSizeF(1180, 620));
    component.completeCreate();
    window.show();
    auto *button = item->findChild<QQuickItem *>(QStringLiteral("shutterButton"));
    if (!button || !QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "bench_click: the window never showed\n");
        return 1;
    }
    const QPoint target = window.mapToGlobal(button->mapToScene(button->boundingRect().center()).toPoint());

    Clicker clicker(target, conn);
    if (!clicker.open())
        return 1;
    std::printf("bench_click: JPEG 6000x4000 of %.1f MB, HEIC 4608x3456 of %.1f MB; %d clicks at (%d, %d), "
                "double-click interval %d ms\n",
                double(jpeg.size()) / 1e6, double(heic.size()) / 1e6, clicks, target.x(), target.y(),
                QGuiApplication::styleHints()->mouseDoubleClickInterval());
    std::fflush(stdout);

    // Warm-up: the first click builds what later clicks reuse.
    if (!clickRound(clicker, 2)) {
        std::fprintf(stderr, "bench_click: the clicks do not reach the button\n");
        return 1;
    }
    const auto idle = clickRound(clicker, clicks);
    if (!idle)
        return 1;
    const std::vector<double> roundTrips = clicker.roundTripMs();

    // The load: a photo every 200 ms, JPEG and HEIC in turn.
    constexpr int kArrivalMs = 200;
    int arrived = 0;
    QTimer arrivals;
    arrivals.setTimerType(Qt::PreciseTimer);
    arrivals.setInterval(kArrivalMs);
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        const bool isJpeg = arrived % 2 == 0;
        monitor.handleFile(QStringLiteral("IMG_%1.%2").arg(arrived, 4, 10, QLatin1Char('0')).arg(isJpeg ? "JPG" : "HEIC"),
                           isJpeg ? jpeg : heic, *cam);
        ++arrived;
    });
    arrivals.start();
    const auto built = [&] {
        return std::count_if(cam->photos.cbegin(), cam->photos.cend(), [](const CapturedPhoto &p) { return !p.thumb.isNull(); });
    };
    if (!QTest::qWaitFor([&] { return built() >= 2; }, 60'000)) {
        std::fprintf(stderr, "bench_click: no thumbnail was built\n");
        return 1;
    }
    const int arrivedBefore = arrived;
    const qsizetype builtBefore = built();
    const Clock::time_point loadStart = Clock::now();
    const auto loaded = clickRound(clicker, clicks);
    const double loadSeconds = msBetween(loadStart, Clock::now()) / 1000;
    const int arrivedDuring = arrived - arrivedBefore;
    const qsizetype builtDuring = built() - builtBefore;
    const int backlog = monitor.buildsInFlight();
    arrivals.stop();
    if (!loaded)
        return 1;
    // Every photo is stored before the folder goes; thumbnails still to build are dropped.
    const bool stored = QTest::qWaitFor(
        [&] {
            return std::all_of(cam->photos.cbegin(), cam->photos.cend(), [](const CapturedPhoto &p) { return p.isStored(); });
        },
        120'000);
    if (!stored)
        std::fprintf(stderr, "bench_click: the photos were not all stored\n");

    const double idleMs = bench::median(*idle), loadedMs = bench::median(*loaded);
    std::printf("  loaded: %d photos arrived in %.1f s, %lld thumbnails built meanwhile, %d still to build at the end\n",
                arrivedDuring, loadSeconds, qint64(builtDuring), backlog);
    std::printf("  X round trip from the clicking thread: median %.2f ms, worst %.2f ms\n", bench::median(roundTrips),
                worst(roundTrips));
    std::printf("figure click_idle_ms %.1f ms\n", idleMs);
    std::printf("figure click_idle_worst_ms %.1f ms\n", worst(*idle));
    std::printf("figure click_loaded_ms %.1f ms\n", loadedMs);
    std::printf("figure click_loaded_worst_ms %.1f ms\n", worst(*loaded));
    std::printf("figure click_extra_ms %.1f ms\n", loadedMs - idleMs);
    std::printf("figure click_extra_worst_ms %.1f ms\n", worst(*loaded) - worst(*idle));
    return 0;
}
