// halvane-testhost: the application core without its window, for end-to-end tests. It makes a
// Monitor with settings and a capture folder of the test's choosing, calls start(), and prints
// what changes, one line per event:
//   registered NAME | withdrawn | listening 0|1 | active INDEX
//   camera INDEX status=S enabled=0|1 photos=N live=WxH params=K name=NAME
//   param INDEX KEY CURRENT VALUECOUNT | photo INDEX STOREDPATH NAME
//   stored INDEX PHOTO STOREDPATH (a photo kept in memory was written later)
//   stats maxstall=MS ticks=N (answer to "stats")
// and takes commands on stdin, one per line:
//   select INDEX | toggle INDEX | director | shutter | setParam KEY VALUE | stats | quit
// A 10 ms timer measures how late the main thread gets to it; "stats" prints the longest delay.

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "link/ServiceAdvertiser.h"
#include "state/Monitor.h"

namespace {

void say(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QString statusText(CameraStatus status)
{
    switch (status) {
    case CameraStatus::Receiving:
        return QStringLiteral("receiving");
    case CameraStatus::Paused:
        return QStringLiteral("paused");
    case CameraStatus::NoSignal:
        return QStringLiteral("noSignal");
    }
    return QStringLiteral("?");
}

// Prints the differences between what was last printed and the Monitor's state now.
class Reporter
{
public:
    explicit Reporter(Monitor &monitor)
        : m_monitor(monitor)
    {
    }

    void report()
    {
        if (m_listening != int(m_monitor.listening())) {
            m_listening = m_monitor.listening();
            say(QStringLiteral("listening %1").arg(m_listening));
        }
        const auto &cameras = m_monitor.cameras();
        for (qsizetype i = 0; i < cameras.size(); ++i) {
            const CameraConnection &cam = *cameras.at(i);
            if (i >= m_summaries.size()) {
                m_summaries.append(QString());
                m_params.append(QMap<QString, QString>());
                m_photos.append(0);
                m_unstored.append(QList<qsizetype>());
                m_paramCopies.append(QMap<QString, ParamState>());
                m_shown.append(Shown());
            }
            // Photos printed without a stored path, checked again until they have one.
            QList<qsizetype> &unstored = m_unstored[i];
            for (qsizetype k = 0; k < unstored.size();) {
                const qsizetype p = unstored.at(k);
                if (p < cam.photos.size() && cam.photos[p].isStored()) {
                    say(QStringLiteral("stored %1 %2 %3").arg(i).arg(p).arg(cam.photos[p].storedPath));
                    unstored.removeAt(k);
                } else {
                    ++k;
                }
            }
            // Reports run after every change (hundreds a second under load): an unchanged
            // table still shares its data with the copy taken when it was last printed.
            if (!cam.paramState.isSharedWith(m_paramCopies[i])) {
                m_paramCopies[i] = cam.paramState;
                for (auto it = cam.paramState.cbegin(); it != cam.paramState.cend(); ++it) {
                    const QString line = QStringLiteral("param %1 %2 %3 %4")
                                             .arg(i).arg(it.key()).arg(it->current).arg(it->values.size());
                    if (m_params[i].value(it.key()) != line) {
                        m_params[i].insert(it.key(), line);
                        say(line);
                    }
                }
            }
            for (qsizetype p = m_photos[i]; p < cam.photos.size(); ++p) {
                say(QStringLiteral("photo %1 %2 %3").arg(i).arg(cam.photos[p].storedPath, cam.photos[p].filename));
                if (!cam.photos[p].isStored())
                    unstored.append(p);
            }
            m_photos[i] = cam.photos.size();
            const Shown shown{cam.status, cam.enabled, cam.photos.size(), cam.liveFrame.size(), cam.paramState.size(), cam.name};
            if (shown == m_shown[i])
                continue;
            m_shown[i] = shown;
            const QString summary = QStringLiteral("camera %1 status=%2 enabled=%3 photos=%4 live=%5x%6 params=%7 name=%8")
                                        .arg(i)
                                        .arg(statusText(cam.status))
                                        .arg(int(cam.enabled))
                                        .arg(cam.photos.size())
                                        .arg(cam.liveFrame.width())
                                        .arg(cam.liveFrame.height())
                                        .arg(cam.paramState.size())
                                        .arg(cam.name);
            if (summary != m_summaries[i]) {
                m_summaries[i] = summary;
                say(summary);
            }
        }
        const CameraConnection *active = m_monitor.activeCamera();
        const qsizetype activeIndex = active ? indexOf(active) : -1;
        if (activeIndex != m_active) {
            m_active = activeIndex;
            say(QStringLiteral("active %1").arg(activeIndex));
        }
    }

    [[nodiscard]] qsizetype indexOf(const CameraConnection *cam) const
    {
        const auto &cameras = m_monitor.cameras();
        for (qsizetype i = 0; i < cameras.size(); ++i)
            if (cameras.at(i).get() == cam)
                return i;
        return -1;
    }

private:
    Monitor &m_monitor;
    int m_listening = -1;
    qsizetype m_active = -1;
    QStringList m_summaries;
    QList<QMap<QString, QString>> m_params;
    QList<qsizetype> m_photos;
    QList<QList<qsizetype>> m_unstored;
    QList<QMap<QString, ParamState>> m_paramCopies;
    // What a camera's summary line shows, to build the line only when it changes.
    struct Shown {
        CameraStatus status = CameraStatus::Receiving;
        bool enabled = false;
        qsizetype photos = -1;
        QSize live;
        qsizetype params = -1;
        QString name;
        bool operator==(const Shown &) const = default;
    };
    QList<Shown> m_shown;
};

// How late a 10 ms timer fires: the longest delay is how long the main thread was busy.
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kIntervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestNs = std::max(m_longestNs, now - m_last - kIntervalMs * 1'000'000LL);
            m_last = now;
            ++m_ticks;
        });
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_timer.start();
    }
    [[nodiscard]] double longestMs() const { return double(m_longestNs) / 1e6; }
    [[nodiscard]] qint64 ticks() const { return m_ticks; }

private:
    static constexpr int kIntervalMs = 10;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestNs = 0;
    qint64 m_ticks = 0;
};

StallMeter *stallMeter = nullptr;

void runCommand(Monitor &monitor, const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    const QString &verb = words.first();
    auto cameraAt = [&](int word) -> CameraConnection * {
        const int index = words.value(word).toInt();
        return index >= 0 && index < monitor.cameras().size() ? monitor.cameras().at(index).get() : nullptr;
    };
    if (verb == QLatin1String("select") && cameraAt(1))
        monitor.selectCamera(*cameraAt(1));
    else if (verb == QLatin1String("toggle") && cameraAt(1))
        monitor.toggleEnabled(*cameraAt(1));
    else if (verb == QLatin1String("director"))
        monitor.toggleDirectorMode();
    else if (verb == QLatin1String("shutter"))
        monitor.triggerShutter();
    else if (verb == QLatin1String("setParam") && words.size() == 3)
        monitor.setParam(words[1], words[2].toLongLong());
    else if (verb == QLatin1String("stats") && stallMeter)
        say(QStringLiteral("stats maxstall=%1 ticks=%2").arg(stallMeter->longestMs(), 0, 'f', 1).arg(stallMeter->ticks()));
    else if (verb == QLatin1String("quit"))
        QCoreApplication::quit();
    else
        say(QStringLiteral("unknown-command ") + line);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: halvane-testhost SETTINGS.ini CAPTURE-FOLDER\n");
        return 64;
    }

    Monitor monitor(std::make_unique<QSettings>(args[1], QSettings::IniFormat));
    monitor.setFolder(args[2]);
    Reporter reporter(monitor);
    StallMeter stalls;
    stallMeter = &stalls;
    QObject::connect(&monitor, &Monitor::objectWillChange, &app, [&] { reporter.report(); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit(); // the test has gone
            return;
        }
        pending.append(buffer, n);
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            runCommand(monitor, QString::fromUtf8(pending.left(nl)));
            pending.remove(0, nl + 1);
        }
    });

    monitor.start();
    reporter.report();
    if (auto *advertiser = monitor.findChild<ServiceAdvertiser *>()) {
        say(QStringLiteral("port %1").arg(advertiser->port()));
        QObject::connect(advertiser, &ServiceAdvertiser::registered, &app,
                         [](const QString &name) { say(QStringLiteral("registered ") + name); });
        QObject::connect(advertiser, &ServiceAdvertiser::withdrawn, &app, [] { say(QStringLiteral("withdrawn")); });
        if (advertiser->isRegistered())
            say(QStringLiteral("registered ") + advertiser->registeredName());
    } else {
        say(QStringLiteral("no-advertiser"));
    }
    return app.exec();
}
