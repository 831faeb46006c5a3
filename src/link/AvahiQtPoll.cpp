#include "link/AvahiQtPoll.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <avahi-common/timeval.h>

#include <cstdint>

// The struct names are Avahi's opaque handle types: the library only passes pointers to them.
struct AvahiWatch
{
    int fd = -1;
    AvahiWatchCallback callback = nullptr;
    void *userdata = nullptr;
    // The events of the callback in progress, for watch_get_events().
    AvahiWatchEvent lastEvents = static_cast<AvahiWatchEvent>(0);
    // Avahi may free a watch or timeout from inside its own callback, while its notifier or
    // timer is still emitting: the record then goes once the callback has returned, and the
    // emitting Qt object through deleteLater().
    bool busy = false;
    bool freed = false;
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

struct AvahiTimeout
{
    AvahiTimeoutCallback callback = nullptr;
    void *userdata = nullptr;
    bool busy = false;
    bool freed = false;
    QTimer *timer = nullptr;
};

namespace {

void destroy(AvahiWatch *w, bool emitting)
{
    if (emitting) {
        w->read->deleteLater();
        w->write->deleteLater();
    } else {
        delete w->read;
        delete w->write;
    }
    delete w;
}

void dispatch(AvahiWatch *w, AvahiWatchEvent event)
{
    w->lastEvents = event;
    w->busy = true;
    w->callback(w, w->fd, event, w->userdata);
    w->busy = false;
    if (w->freed)
        destroy(w, true);
}

void setEvents(AvahiWatch *w, AvahiWatchEvent events)
{
    w->read->setEnabled((events & AVAHI_WATCH_IN) != 0);
    w->write->setEnabled((events & AVAHI_WATCH_OUT) != 0);
}

AvahiWatch *watchNew(const AvahiPoll *, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void *userdata)
{
    auto *w = new AvahiWatch;
    w->fd = fd;
    w->callback = callback;
    w->userdata = userdata;
    w->read = new QSocketNotifier(fd, QSocketNotifier::Read);
    w->write = new QSocketNotifier(fd, QSocketNotifier::Write);
    // A hang-up or error makes the descriptor readable, so the read notifier also reports
    // those; Avahi's D-Bus transport finds out when it reads.
    QObject::connect(w->read, &QSocketNotifier::activated, w->read, [w] { dispatch(w, AVAHI_WATCH_IN); });
    QObject::connect(w->write, &QSocketNotifier::activated, w->write, [w] { dispatch(w, AVAHI_WATCH_OUT); });
    setEvents(w, events);
    return w;
}

void watchUpdate(AvahiWatch *w, AvahiWatchEvent events)
{
    setEvents(w, events);
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w)
{
    return w->lastEvents;
}

void watchFree(AvahiWatch *w)
{
    w->read->setEnabled(false);
    w->write->setEnabled(false);
    if (w->busy)
        w->freed = true;
    else
        destroy(w, false);
}

// Milliseconds from now until the absolute time tv (0 when it has passed), rounded up so a
// timeout never fires before its time.
int msUntil(const struct timeval *tv)
{
    const AvahiUsec age = avahi_age(tv); // negative while tv lies ahead
    if (age >= 0)
        return 0;
    const std::int64_t ms = (-age + 999) / 1000;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

void timeoutUpdate(AvahiTimeout *t, const struct timeval *tv)
{
    if (!tv) {
        t->timer->stop();
        return;
    }
    t->timer->start(msUntil(tv));
}

AvahiTimeout *timeoutNew(const AvahiPoll *, const struct timeval *tv, AvahiTimeoutCallback callback,
                         void *userdata)
{
    auto *t = new AvahiTimeout;
    t->callback = callback;
    t->userdata = userdata;
    t->timer = new QTimer;
    t->timer->setSingleShot(true);
    t->timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(t->timer, &QTimer::timeout, t->timer, [t] {
        t->busy = true;
        t->callback(t, t->userdata);
        t->busy = false;
        if (t->freed) {
            t->timer->deleteLater();
            delete t;
        }
    });
    timeoutUpdate(t, tv);
    return t;
}

void timeoutFree(AvahiTimeout *t)
{
    t->timer->stop();
    if (t->busy) {
        t->freed = true;
        return;
    }
    delete t->timer;
    delete t;
}

const AvahiPoll kPoll = {
    nullptr, watchNew, watchUpdate, watchGetEvents, watchFree, timeoutNew, timeoutUpdate, timeoutFree,
};

} // namespace

const AvahiPoll *qtAvahiPoll()
{
    return &kPoll;
}
