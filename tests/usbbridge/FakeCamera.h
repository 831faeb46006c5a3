#pragma once

#include <QMap>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "CameraDevice.h"

// A camera in memory: a configuration like a driver describes one and a card of files.
// Captures add a JPEG (and a raw file beside it when `pairs`); `busy` answers the next calls
// "busy"; `fail` makes one operation fail. Thread-safe, so a bridge's worker can use it while
// the test looks on; waiting for events blocks until one comes or time is up.
class FakeCamera : public usb::CameraDevice
{
public:
    using Status = usb::Status;
    using Item = usb::ConfigItem;

    QList<Item> config = {
        {"shutterspeed", Item::Kind::Choice, "1/125", {"1/250", "1/125", "0.5000s", "Bulb"}},
        {"f-number", Item::Kind::Choice, "f/4", {"f/4", "f/5.6"}},
        {"colortemperature", Item::Kind::Range, {}, {}, 5500, 2500, 10000, 100},
        {"viewfinder", Item::Kind::Range, {}, {}, 0, 0, 1, 1},
    };
    QMap<QString, QByteArray> card;
    std::deque<usb::CameraEvent> events;
    int busy = 0;
    QString fail; // the operation that fails
    Status failWith = Status::Failed;
    bool pairs = false;
    bool captureNeedsViewfinderOff = false;
    qint64 claimedSize = 0;
    int shots = 0;
    bool gone = false;

    Status readConfig(QList<Item> &out) override { return gate("config", [&] { out = config; }); }
    Status setConfig(const Item &item, const QString &text, double value) override
    {
        return gate("set", [&] {
            find(item.name)->text = text;
            find(item.name)->value = value;
        });
    }
    Status triggerCapture() override
    {
        const bool refuse = captureNeedsViewfinderOff && find("viewfinder")->value != 0;
        return gate(refuse ? "refused" : "trigger", [&] {
            ++shots;
            for (const char *ext : pairs ? QList<const char *>{"RAW", "JPG"} : QList<const char *>{"JPG"}) {
                const QString name = QStringLiteral("IMG_%1.%2").arg(shots, 4, 10, QLatin1Char('0')).arg(QLatin1String(ext));
                card.insert(name, QByteArray(100 + shots, char('a' + shots)) + name.toUtf8());
                events.push_back({usb::CameraEvent::Type::FileAdded, QStringLiteral("/DCIM"), name});
            }
            m_wake.notify_all();
        });
    }
    Status waitForEvent(int timeoutMs, usb::CameraEvent &out) override
    {
        std::unique_lock lock(m_lock);
        m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !events.empty() || gone; });
        out = {};
        if (!gone && !events.empty()) {
            out = events.front();
            events.pop_front();
        }
        return gone ? Status::Gone : Status::Ok;
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
            find("viewfinder")->value = 1;
            out = "live";
        });
    }
    [[nodiscard]] QString lastError() const override { return QStringLiteral("fake failure"); }

    Item *find(const QString &name)
    {
        auto it = std::find_if(config.begin(), config.end(), [&](const Item &item) { return item.name == name; });
        return it == config.end() ? nullptr : &*it;
    }
    qsizetype cardSize()
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

private:
    template<typename Apply> Status gate(const char *op, Apply apply)
    {
        std::lock_guard lock(m_lock);
        Status status = fail == QLatin1String(op) ? failWith : Status::Ok;
        if (gone)
            status = Status::Gone;
        else if (busy > 0 && --busy >= 0)
            status = Status::Busy;
        else if (QLatin1String(op) == QLatin1String("refused"))
            status = Status::Failed;
        if (status == Status::Ok)
            apply();
        return status;
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
};
