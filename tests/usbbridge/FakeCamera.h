#pragma once

#include <QMap>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "CameraDevice.h"

// A camera in memory: a configuration like a driver describes one, a card of files, and every
// call noted. Captures add a JPEG (and a raw file beside it when `pairs`); `busy` answers the
// next calls "busy"; `fail` makes one operation fail. Thread-safe, so a bridge's worker can
// use it while the test looks on; waiting for events blocks until one comes or time is up.
class FakeCamera : public usb::CameraDevice
{
public:
    using Status = usb::Status;
    using Item = usb::ConfigItem;

    FakeCamera()
    {
        config = {
            {QStringLiteral("shutterspeed"), Item::Kind::Choice, QStringLiteral("1/125"),
             {QStringLiteral("1/250"), QStringLiteral("1/125"), QStringLiteral("0.5000s"), QStringLiteral("Bulb")}},
            {QStringLiteral("f-number"), Item::Kind::Choice, QStringLiteral("f/4"), {QStringLiteral("f/4"), QStringLiteral("f/5.6")}},
            {QStringLiteral("colortemperature"), Item::Kind::Range, {}, {}, 5500, 2500, 10000, 100},
            {QStringLiteral("viewfinder"), Item::Kind::Range, {}, {}, 0, 0, 1, 1},
        };
    }

    Status readConfig(QList<Item> &out) override { return gate("config", [&] { out = config; }); }
    Status setConfig(const Item &item, const QString &text, double value) override
    {
        return gate("set", [&] {
            for (Item &mine : config) {
                if (mine.name == item.name) {
                    mine.text = text;
                    mine.value = value;
                }
            }
        });
    }
    Status triggerCapture() override
    {
        std::lock_guard lock(m_lock);
        if (captureNeedsViewfinderOff && valueOf("viewfinder") != 0)
            return note("trigger", Status::Failed);
        const Status status = note("trigger");
        if (status == Status::Ok) {
            ++shots;
            for (const char *ext : pairs ? QList<const char *>{"RAW", "JPG"} : QList<const char *>{"JPG"}) {
                const QString name = QStringLiteral("IMG_%1.%2").arg(shots, 4, 10, QLatin1Char('0')).arg(QLatin1String(ext));
                card.insert(name, QByteArray(100 + shots, char('a' + shots)) + name.toUtf8());
                events.push_back({usb::CameraEvent::Type::FileAdded, QStringLiteral("/DCIM"), name});
            }
            m_wake.notify_all();
        }
        return status;
    }
    Status waitForEvent(int timeoutMs, usb::CameraEvent &out) override
    {
        std::unique_lock lock(m_lock);
        m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !events.empty() || gone; });
        out = {};
        if (gone)
            return Status::Gone;
        if (!events.empty()) {
            out = events.front();
            events.pop_front();
        }
        return Status::Ok;
    }
    Status fileSize(const QString &, const QString &name, qint64 &size) override
    {
        return gate("size", [&] { size = claimedSize ? claimedSize : card.value(name).size(); });
    }
    Status download(const QString &, const QString &name, QByteArray &out) override
    {
        return gate("download", [&] { out = card.value(name); });
    }
    Status remove(const QString &, const QString &name) override { return gate("delete", [&] { card.remove(name); }); }
    Status capturePreview(QByteArray &out) override
    {
        return gate("preview", [&] {
            setValue("viewfinder", 1);
            out = QByteArray("live ") + QByteArray::number(++frames);
        });
    }
    [[nodiscard]] QString lastError() const override { return QStringLiteral("fake failure"); }

    qsizetype cardSize() const
    {
        std::lock_guard lock(m_lock);
        return card.size();
    }
    void unplug()
    {
        std::lock_guard lock(m_lock);
        gone = true;
        m_wake.notify_all();
    }
    double valueOf(const QString &name) const
    {
        for (const Item &item : config) {
            if (item.name == name)
                return item.kind == Item::Kind::Range ? item.value : item.text.size();
        }
        return -1;
    }
    QString textOf(const QString &name) const
    {
        for (const Item &item : config) {
            if (item.name == name)
                return item.text;
        }
        return {};
    }

    QList<Item> config;
    QMap<QString, QByteArray> card;
    std::deque<usb::CameraEvent> events;
    QStringList calls;
    int busy = 0;
    QString fail; // the operation that fails
    Status failWith = Status::Failed;
    bool pairs = false;
    bool captureNeedsViewfinderOff = false;
    qint64 claimedSize = 0;
    int shots = 0;
    int frames = 0;
    bool gone = false;

private:
    void setValue(const QString &name, double value)
    {
        for (Item &item : config) {
            if (item.name == name)
                item.value = value;
        }
    }
    Status note(const char *op, Status forced = Status::Ok)
    {
        calls.append(QLatin1String(op));
        if (forced != Status::Ok)
            return forced;
        if (gone)
            return Status::Gone;
        if (busy > 0) {
            --busy;
            return Status::Busy;
        }
        return fail == QLatin1String(op) ? failWith : Status::Ok;
    }
    template<typename Apply> Status gate(const char *op, Apply apply)
    {
        std::lock_guard lock(m_lock);
        const Status status = note(op);
        if (status == Status::Ok)
            apply();
        return status;
    }

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
};
