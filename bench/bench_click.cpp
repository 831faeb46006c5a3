// bench_click: from a click on the window's shutter button to the shutter command sent to the
// camera, while photos keep arriving, against the same clicks with nothing arriving, in the same
// run.
//
//   xvfb-run -a -s "-screen 0 1400x900x24" bench_click [folder] [clicks] [arrival-ms]
//                                                             (defaults: /tmp, 30, 200)
//
// The window is the real one: the shell view over a WindowState over a Monitor, 1180 × 620 as the
// application opens it, in director mode, with one camera whose connection notes the moment each
// command is handed to it (the TCP connection queues it in its socket there, and the socket
// writes it on the event loop's next pass).
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
// Monitor::handleFile (what the camera link calls for each received file once it is off the
// socket; reading the socket is left to the link's own benchmarks) every `arrival-ms` (0: one on
// every pass of the event loop, a burst at full speed), a 24 MP JPEG without an EXIF
// thumbnail and a 4608 × 3456 HEIC without a thumbnail item in turn, so each needs a full decode for its
// thumbnail. They are stored in a temporary folder under `folder`, removed at the end. Loaded clicks start
// once the first two thumbnails are built.
//
// The machine may be shared, so the run also says where a click's time went: when the press
// reached the window; the main thread's CPU time and the time it was ready to run but had no CPU
// (the scheduler's run delay), for the median click and the slowest; and the load average before
// and after.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <QEventLoop>
#include <QFile>
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
#include <QThread>
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

// A thread's time on a CPU (its CPU clock) and time ready to run but waiting for a CPU (the
// scheduler's run delay in /proc/…/schedstat, counted when the thread gets a CPU), in ms.
struct ThreadTimes {
    double cpuMs = 0;
    double queuedMs = 0;
    ThreadTimes operator-(const ThreadTimes &earlier) const
    {
        return { cpuMs - earlier.cpuMs, queuedMs - earlier.queuedMs };
    }
};

struct ThreadClocks {
    clockid_t cpu {};
    QByteArray schedstat;

    // The calling thread's.
    static std::optional<ThreadClocks> current()
    {
        ThreadClocks clocks;
        clocks.schedstat = QByteArray("/proc/self/task/") + QByteArray::number(::gettid()) + "/schedstat";
        if (pthread_getcpuclockid(pthread_self(), &clocks.cpu) != 0 || clocks.read().cpuMs <= 0)
            return std::nullopt;
        return clocks;
    }

    [[nodiscard]] ThreadTimes read() const
    {
        ThreadTimes times;
        timespec t {};
        if (clock_gettime(cpu, &t) == 0)
            times.cpuMs = double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
        const int fd = ::open(schedstat.constData(), O_RDONLY | O_CLOEXEC);
        char text[128] = {};
        const ssize_t n = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
        if (fd >= 0)
            ::close(fd);
        unsigned long long onCpuNs = 0, queuedNs = 0;
        if (n > 0 && std::sscanf(text, "%llu %llu", &onCpuNs, &queuedNs) == 2)
            times.queuedMs = double(queuedNs) / 1e6;
        return times;
    }
};

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

// Notes when the window last received a mouse press, so that a click's time splits into the
// input's way to the window and the window's way from the press to the command.
class PressWatch : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress)
            m_lastPress = Clock::now().time_since_epoch().count();
        return QObject::eventFilter(watched, event);
    }
    [[nodiscard]] Clock::time_point lastPress() const
    {
        return Clock::time_point(Clock::duration(m_lastPress.load()));
    }

private:
    std::atomic<Clock::rep> m_lastPress = 0;
};

// Clicks at a point of the X screen through XTEST, from a thread of its own, and times each click
// to its shutter command.
class Clicker
{
public:
    // `main`: the main thread's clocks, to split each click's time.
    Clicker(QPoint target, TimedConnection &conn, const PressWatch &presses, ThreadClocks main)
        : m_target(target)
        , m_conn(conn)
        , m_presses(presses)
        , m_main(std::move(main))
    { }
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

    // Starts `count` clicks; `done` runs on the clicking thread when they are over (or one got no
    // command).
    void start(int count, std::function<void()> done)
    {
        if (m_thread.joinable())
            m_thread.join();
        m_clickMs.clear();
        m_pressMs.clear();
        m_mainTimes.clear();
        m_roundTripMs.clear();
        m_failed = false;
        m_thread = std::thread([this, count, done = std::move(done)] {
            run(count);
            done();
        });
    }
    [[nodiscard]] bool failed() const { return m_failed; }
    // Valid once the clicks are over.
    [[nodiscard]] const std::vector<double> &clickMs() const { return m_clickMs; }
    [[nodiscard]] const std::vector<double> &pressMs() const { return m_pressMs; }
    [[nodiscard]] const std::vector<ThreadTimes> &mainTimes() const { return m_mainTimes; }
    [[nodiscard]] const std::vector<double> &roundTripMs() const { return m_roundTripMs; }

private:
    void run(int count)
    {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(550, 850);
        for (int i = 0; i < count && !m_failed; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const ThreadTimes before = m_main.read();
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
            m_pressMs.push_back(msBetween(clicked, m_presses.lastPress()));
            m_mainTimes.push_back(m_main.read() - before);

            // The X round trip alone, from this thread: a request and its reply.
            const Clock::time_point asked = Clock::now();
            std::free(xcb_get_input_focus_reply(m_x, xcb_get_input_focus(m_x), nullptr));
            m_roundTripMs.push_back(msBetween(asked, Clock::now()));
        }
    }

    QPoint m_target;
    TimedConnection &m_conn;
    const PressWatch &m_presses;
    ThreadClocks m_main;
    xcb_connection_t *m_x = nullptr;
    xcb_window_t m_root = 0;
    int m_shutters = 0;
    std::vector<double> m_clickMs;
    std::vector<double> m_pressMs;
    std::vector<ThreadTimes> m_mainTimes;
    std::vector<double> m_roundTripMs;
    std::atomic<bool> m_failed = false;
    std::thread m_thread;
};

// One round of clicks: click to command, click to the press reaching the window, and the main
// thread's times within each.
struct Round {
    std::vector<double> ms;
    std::vector<double> pressMs;
    std::vector<ThreadTimes> main;
    [[nodiscard]] size_t slowest() const
    {
        return size_t(std::max_element(ms.begin(), ms.end()) - ms.begin());
    }
    [[nodiscard]] std::vector<double> mainCpuMs() const
    {
        std::vector<double> values;
        for (const ThreadTimes &t : main)
            values.push_back(t.cpuMs);
        return values;
    }
};

// Runs the clicks and waits for them in an event loop as the application's (QTest::qWaitFor
// sleeps 10 ms between its passes, which would add up to 10 ms to every click); nothing when a
// click was lost.
std::optional<Round> clickRound(Clicker &clicker, int count)
{
    QEventLoop loop;
    clicker.start(
        count, [&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    loop.exec();
    if (clicker.failed())
        return std::nullopt;
    return Round { clicker.clickMs(), clicker.pressMs(), clicker.mainTimes() };
}

// The machine's one-minute load average: the other work this run shared the cores with.
QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly)
        ? QString::fromLatin1(file.readLine()).section(QLatin1Char(' '), 0, 0)
        : QStringLiteral("?");
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
    const int arrivalIntervalMs = argc > 3 ? std::max(0, QString::fromLocal8Bit(argv[3]).toInt()) : 200;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "bench_click: run it on an X display (xvfb-run is fine)\n");
        return 1;
    }

    // The photos: sensor-like grain makes their files as large as a camera's.
    std::printf("bench_click: making the sample photos…\n");
    std::fflush(stdout);
    const QImage jpegPicture = bench::cameraLikePicture(QSize(6000, 4000));
    const QByteArray jpeg = SampleFiles::jpeg(jpegPicture, SampleFiles::cameraTags());
    const QByteArray heic
        = SampleFiles::heic(bench::cameraLikePicture(QSize(4608, 3456)), SampleFiles::cameraTags());
    if (jpeg.isEmpty() || heic.isEmpty()) {
        std::fprintf(stderr, "bench_click: could not make the sample photos\n");
        return 1;
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-click-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_click: cannot make a folder in %s\n", qPrintable(root));
        return 1;
    }
    Monitor monitor(
        std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(dir.filePath(QStringLiteral("captures"))));
    auto owned = std::make_unique<TimedConnection>();
    TimedConnection &conn = *owned;
    auto cam = std::make_shared<CameraConnection>(std::move(owned));
    cam->name = QStringLiteral("Cámara");
    cam->status = CameraStatus::Receiving;
    // What a camera reports in director mode, so the sidebar shows its sliders.
    cam->paramState = { { QStringLiteral("iso"), { 800, { 200, 400, 800, 1600, 3200, 6400 } } },
        { QStringLiteral("filmSimulation"), { 11, { 1, 2, 11, 12, 16 } } },
        { QStringLiteral("exposureComp"), { 0, { -3, -2, -1, 0, 1, 2, 3 } } } };
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
    component.setInitialProperties(
        shell.get(), { { QStringLiteral("ws"), QVariant::fromValue(&windowState) } });
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

    const std::optional<ThreadClocks> mainClocks = ThreadClocks::current();
    if (!mainClocks) {
        std::fprintf(stderr, "bench_click: no CPU clock or scheduler statistics for the main thread\n");
        return 1;
    }
    PressWatch presses;
    window.installEventFilter(&presses);
    Clicker clicker(target, conn, presses, *mainClocks);
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
    const QString loadBefore = loadAverage();
    const auto idle = clickRound(clicker, clicks);
    if (!idle)
        return 1;
    const std::vector<double> roundTrips = clicker.roundTripMs();

    // The load: a photo every arrivalIntervalMs, JPEG and HEIC in turn.
    int arrived = 0;
    QTimer arrivals;
    arrivals.setTimerType(Qt::PreciseTimer);
    arrivals.setInterval(arrivalIntervalMs);
    // The main thread's time in each handleFile, and its CPU time within it.
    std::vector<double> arrivalMs, arrivalCpuMs;
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        // As the camera link does: no photo content is taken while the store holds the cameras.
        if (monitor.store().holding())
            return;
        const bool isJpeg = arrived % 2 == 0;
        const ThreadTimes before = mainClocks->read();
        const Clock::time_point start = Clock::now();
        monitor.handleFile(
            QStringLiteral("IMG_%1.%2").arg(arrived, 4, 10, QLatin1Char('0')).arg(isJpeg ? "JPG" : "HEIC"),
            isJpeg ? jpeg : heic, *cam);
        arrivalMs.push_back(msBetween(start, Clock::now()));
        arrivalCpuMs.push_back((mainClocks->read() - before).cpuMs);
        ++arrived;
    });
    arrivals.start();
    const auto built = [&] {
        return std::count_if(cam->photos.cbegin(), cam->photos.cend(),
            [](const CapturedPhoto &p) { return !p.thumb.isNull(); });
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
    const QString loadAfter = loadAverage();
    arrivals.stop();
    if (!loaded)
        return 1;
    // Every photo is stored before the folder goes; thumbnails still to build are dropped.
    const bool stored = QTest::qWaitFor(
        [&] {
            return std::all_of(cam->photos.cbegin(), cam->photos.cend(),
                [](const CapturedPhoto &p) { return p.isStored(); });
        },
        120'000);
    if (!stored)
        std::fprintf(stderr, "bench_click: the photos were not all stored\n");

    const double idleMs = bench::median(idle->ms), loadedMs = bench::median(loaded->ms);
    const double idleWorst = worst(idle->ms), loadedWorst = worst(loaded->ms);
    std::printf("  loaded: %d photos arrived in %.1f s, %lld thumbnails built meanwhile, %d still to build "
                "at the end\n",
        arrivedDuring, loadSeconds, qint64(builtDuring), backlog);
    const auto over
        = std::count_if(loaded->ms.cbegin(), loaded->ms.cend(), [&](double ms) { return ms > idleMs + 30; });
    std::printf("  loaded clicks over idle + 30 ms: %lld of %d\n", qint64(over), clicks);
    const ThreadTimes &slowest = loaded->main[loaded->slowest()];
    std::printf(
        "  click to the press reaching the window: medians %.1f ms idle, %.1f ms loaded; %.1f ms in the "
        "slowest loaded click\n",
        bench::median(idle->pressMs), bench::median(loaded->pressMs), loaded->pressMs[loaded->slowest()]);
    // The run delay is counted when the thread gets a CPU, so it may include a wait begun just
    // before the click.
    std::printf(
        "  the main thread within a click: on a CPU %.1f ms idle, %.1f ms loaded (medians); in the slowest "
        "loaded click (%.1f ms) on a CPU %.1f ms, ready but waiting for a CPU %.1f ms, asleep %.1f ms\n",
        bench::median(idle->mainCpuMs()), bench::median(loaded->mainCpuMs()), loadedWorst, slowest.cpuMs,
        slowest.queuedMs, std::max(0.0, loadedWorst - slowest.cpuMs - slowest.queuedMs));
    std::printf("  handleFile on the main thread per photo: median %.1f ms (CPU %.1f ms), slowest %.1f ms "
                "(CPU %.1f ms)\n",
        bench::median(arrivalMs), bench::median(arrivalCpuMs), worst(arrivalMs),
        arrivalCpuMs[size_t(std::max_element(arrivalMs.begin(), arrivalMs.end()) - arrivalMs.begin())]);
    std::printf(
        "  machine load average (1 min) on %d cores: %s before the idle clicks, %s after the loaded ones\n",
        QThread::idealThreadCount(), qPrintable(loadBefore), qPrintable(loadAfter));
    std::printf("  X round trip from the clicking thread: median %.2f ms, worst %.2f ms\n",
        bench::median(roundTrips), worst(roundTrips));
    std::printf("figure click_idle_ms %.1f ms\n", idleMs);
    std::printf("figure click_idle_worst_ms %.1f ms\n", idleWorst);
    std::printf("figure click_loaded_ms %.1f ms\n", loadedMs);
    std::printf("figure click_loaded_worst_ms %.1f ms\n", loadedWorst);
    std::printf("figure click_extra_ms %.1f ms\n", loadedMs - idleMs);
    std::printf("figure click_extra_worst_ms %.1f ms\n", loadedWorst - idleWorst);
    return 0;
}
