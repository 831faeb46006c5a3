// halvane-testhost: the application core without its window, for end-to-end tests. It makes a
// Monitor with settings and a capture folder of the test's choosing, calls start(), and prints
// one line per change:
//   port N | registered NAME | withdrawn | listening 0|1 | active INDEX
//   camera INDEX status=S live=WxH params=K name=NAME
//   param INDEX KEY CURRENT VALUECOUNT | photo INDEX STOREDPATH NAME
//   stored INDEX PHOTO STOREDPATH (a photo printed before its file was written, once it is)
//   unsaved INDEX PHOTO (such a photo, the first time its file could not be written)
//   recovered N FOLDER (photos of an earlier run stored) | hold 0|1 (photo content held back)
// An optional third argument names the pending folder, and HALVANE_TESTHOST_MEMORY_BUDGET the
// bytes of photos only in memory (or queued for writing) past which photo content is held back
// (both of the store's budgets). It takes commands on stdin, one per line: director | shutter |
// setParam KEY VALUE | folder PATH (chosen in the folder chooser) | stats ("stats maxstall=MS
// ticks=N": the longest delay of a 10 ms timer, i.e. of the main thread). It quits when stdin
// closes.
// With HALVANE_TESTHOST_SHARE=1 the client view is switched on too: it prints "share PORT CODE"
// once it listens and "viewers N" as they come and go, and takes "share on|off",
// "downloads on|off" and "sharestats" ("sharestats sent=BYTES held=BYTES").

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "link/ServiceAdvertiser.h"
#include "model/MemoryBudget.h"
#include "share/ShareService.h"
#include "state/Monitor.h"

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// Prints what changed in the Monitor since the last report: each line is printed when its text
// differs from the last one printed for the same subject ("camera 2", "param 2 iso", "active").
class Reporter
{
public:
    explicit Reporter(Monitor &monitor) : m_monitor(monitor) { m_last[QStringLiteral("active")] = QStringLiteral("active -1"); }

    void report()
    {
        show(QStringLiteral("listening %1").arg(int(m_monitor.listening())));
        const auto &cameras = m_monitor.cameras();
        m_seen.resize(cameras.size());
        for (qsizetype i = 0; i < cameras.size(); ++i) {
            const CameraConnection &cam = *cameras.at(i);
            Seen &seen = m_seen[i];
            for (qsizetype k = seen.unstored.size() - 1; k >= 0; --k) {
                const qsizetype p = seen.unstored.at(k);
                if (cam.photos.at(p).isStored()) {
                    say(QStringLiteral("stored %1 %2 %3").arg(i).arg(p).arg(cam.photos.at(p).storedPath));
                    seen.unstored.removeAt(k);
                } else if (cam.photos.at(p).storage == CapturedPhoto::Storage::NotStored && !seen.failed.contains(p)) {
                    say(QStringLiteral("unsaved %1 %2").arg(i).arg(p));
                    seen.failed.insert(p);
                }
            }
            // Reports run after every change (hundreds a second under load): an unchanged table
            // still shares its data with the copy taken when it was last printed.
            if (!cam.paramState.isSharedWith(seen.params)) {
                seen.params = cam.paramState;
                for (auto it = cam.paramState.cbegin(); it != cam.paramState.cend(); ++it)
                    show(QStringLiteral("param %1 %2 %3 %4").arg(i).arg(it.key()).arg(it->current).arg(it->values.size()),
                         QStringLiteral("param %1 %2").arg(i).arg(it.key()));
            }
            for (; seen.photos < cam.photos.size(); ++seen.photos) {
                const CapturedPhoto &photo = cam.photos.at(seen.photos);
                say(QStringLiteral("photo %1 %2 %3").arg(i).arg(photo.storedPath, photo.filename));
                if (!photo.isStored())
                    seen.unstored.append(seen.photos);
            }
            // Reports run after every change; the camera's line is made and printed only when
            // what it shows changed.
            const Seen::Line line{int(cam.status), cam.liveFrame.size(), cam.paramState.size(), cam.name};
            if (seen.line != line) {
                seen.line = line;
                const char *const statuses[] = {"receiving", "paused", "noSignal"};
                say(QStringLiteral("camera %1 status=%2 live=%3x%4 params=%5 name=%6")
                        .arg(i).arg(QLatin1String(statuses[line.status])).arg(line.live.width()).arg(line.live.height())
                        .arg(line.params).arg(line.name));
            }
        }
        const auto active = std::find_if(cameras.cbegin(), cameras.cend(),
                                          [&](const auto &cam) { return cam.get() == m_monitor.activeCamera(); });
        show(QStringLiteral("active %1").arg(active == cameras.cend() ? -1 : active - cameras.cbegin()));
    }

private:
    // Prints `line` unless it is what was last printed for `subject` (by default its first word).
    void show(const QString &line, QString subject = {})
    {
        QString &last = m_last[subject.isEmpty() ? line.section(QLatin1Char(' '), 0, 0) : subject];
        if (last != line)
            say(last = line);
    }

    struct Seen {
        qsizetype photos = 0; // photo lines printed
        QList<qsizetype> unstored; // photos printed without a stored path
        QSet<qsizetype> failed; // those printed as unsaved
        QMap<QString, ParamState> params; // the table as last printed
        struct Line {
            int status = -1;
            QSize live;
            qsizetype params = 0;
            QString name;
            bool operator==(const Line &) const = default;
        } line; // what the camera's line was last made of
    };
    Monitor &m_monitor;
    QHash<QString, QString> m_last;
    QList<Seen> m_seen;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    MemoryBudget::tuneAllocator();
    QGuiApplication app(argc, argv);
    if (app.arguments().size() != 3 && app.arguments().size() != 4) {
        std::fprintf(stderr, "usage: halvane-testhost SETTINGS.ini CAPTURE-FOLDER [PENDING-FOLDER]\n");
        return 64;
    }
    Monitor monitor(std::make_unique<QSettings>(app.arguments().at(1), QSettings::IniFormat));
    monitor.setFolder(app.arguments().at(2));
    QObject::connect(&monitor.store(), &PhotoStore::recovered, &app,
                     [](int n, const QString &folder) { say(QStringLiteral("recovered %1 %2").arg(n).arg(folder)); });
    QObject::connect(&monitor.store(), &PhotoStore::hold, &app,
                     [](bool held) { say(QStringLiteral("hold %1").arg(int(held))); });
    if (app.arguments().size() == 4)
        monitor.store().setPendingFolder(app.arguments().at(3));
    // Tests that fill every disk hold photos back after a few MiB instead of hundreds.
    if (const qint64 budget = qgetenv("HALVANE_TESTHOST_MEMORY_BUDGET").toLongLong(); budget > 0)
        monitor.store().setMemoryBudgets(budget, budget);
    std::unique_ptr<ShareService> share;
    if (qEnvironmentVariable("HALVANE_TESTHOST_SHARE") == QLatin1String("1")) {
        share = std::make_unique<ShareService>(monitor);
        QObject::connect(share.get(), &ShareService::changed, &app, [&share, shown = QString(), viewers = -1]() mutable {
            const QString line = share->address().isEmpty() ? QString()
                : QStringLiteral("share %1 %2").arg(share->port()).arg(share->code());
            if (line != shown && !line.isEmpty())
                say(line);
            shown = line;
            if (share->viewers() != viewers)
                say(QStringLiteral("viewers %1").arg(viewers = share->viewers()));
        });
    }
    Reporter reporter(monitor);
    QObject::connect(&monitor, &Monitor::objectWillChange, &app, [&] { reporter.report(); });
    QObject::connect(&monitor, &Monitor::liveFrameChanged, &app, [&] { reporter.report(); });

    // How late a 10 ms timer fires: the longest delay is how long the main thread was busy.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    qint64 last = 0, longestNs = 0, ticks = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestNs = std::max(longestNs, clock.nsecsElapsed() - last - 10'000'000);
        last = clock.nsecsElapsed();
        ++ticks;
    });
    clock.start();
    tick.start(10);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit(); // the test has gone
        }
        pending.append(buffer, qMax<ssize_t>(n, 0));
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0; pending.remove(0, nl + 1)) {
            const QStringList words = QString::fromUtf8(pending.left(nl)).split(QLatin1Char(' '));
            if (words == QStringList{QStringLiteral("director")})
                monitor.toggleDirectorMode();
            else if (words == QStringList{QStringLiteral("shutter")})
                monitor.triggerShutter();
            else if (words.size() == 2 && words[0] == QLatin1String("folder"))
                monitor.useChosenFolder(QUrl::fromLocalFile(words[1]));
            else if (words.size() == 3 && words[0] == QLatin1String("setParam"))
                monitor.setParam(words[1], words[2].toLongLong());
            else if (share && words.size() == 2 && words[0] == QLatin1String("share"))
                share->setOn(words[1] == QLatin1String("on"));
            else if (share && words.size() == 2 && words[0] == QLatin1String("downloads"))
                share->setDownloadsAllowed(words[1] == QLatin1String("on"));
            else if (share && words == QStringList{QStringLiteral("sharestats")})
                say(QStringLiteral("sharestats sent=%1 held=%2").arg(share->bytesSent()).arg(share->bytesHeld()));
            else if (words == QStringList{QStringLiteral("stats")})
                say(QStringLiteral("stats maxstall=%1 ticks=%2").arg(double(longestNs) / 1e6, 0, 'f', 1).arg(ticks));
            else
                say(QStringLiteral("unknown-command ") + words.join(QLatin1Char(' ')));
        }
    });

    monitor.start();
    reporter.report();
    if (share)
        share->setOn(true);
    auto *advertiser = monitor.findChild<ServiceAdvertiser *>();
    if (!advertiser) {
        say(QStringLiteral("no-advertiser"));
        return 1;
    }
    say(QStringLiteral("port %1").arg(advertiser->port()));
    QObject::connect(advertiser, &ServiceAdvertiser::registered, &app,
                     [](const QString &name) { say(QStringLiteral("registered ") + name); });
    QObject::connect(advertiser, &ServiceAdvertiser::withdrawn, &app, [] { say(QStringLiteral("withdrawn")); });
    if (advertiser->isRegistered())
        say(QStringLiteral("registered ") + advertiser->registeredName());
    return app.exec();
}
