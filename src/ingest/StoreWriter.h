#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

#include "ingest/CaptureStorage.h"

// Writes received photo files on one background thread, in arrival order, so that the main
// thread never waits for the disk (a 24 MP photo flushed to disk takes tens of milliseconds,
// far more than the rest of its handling). One thread keeps the numbering of same-named files
// in arrival order. Each result comes back on the thread that owns the writer.
class StoreWriter : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const capture::StoreResult &)>;

    explicit StoreWriter(QObject *parent = nullptr);
    // Finishes the writes already queued, so no file handed over is abandoned half-way.
    ~StoreWriter() override;

    // Queues one file; `done` runs on the owner's thread once the file is stored or has failed.
    void write(const QString &dir, const QString &name, const QByteArray &data, Done done);

    // Queues the removal of the temporary files interrupted writes left in `dir`
    // (capture::removeLeftovers), in order with the writes; `done` gets how many were removed.
    // Running on the writing thread keeps the folder scan off the owner's thread.
    void removeLeftovers(const QString &dir, std::function<void(int removed)> done);

    // Runs `job` on the writing thread, after the jobs queued before it, then `done` with its
    // result on the owner's thread. Jobs queued when the writer is destroyed still run; their
    // `done` does not.
    template<typename Result>
    void run(std::function<Result()> job, std::function<void(const Result &)> done);

    [[nodiscard]] int inFlight() const { return int(m_done.size()); }

private:

    QThread m_thread;
    QObject *m_worker = nullptr; // lives on m_thread
    quint64 m_nextTicket = 1;
    QHash<quint64, std::function<void()>> m_done; // the owner's part of each queued job
};

template<typename Result>
void StoreWriter::run(std::function<Result()> job, std::function<void(const Result &)> done)
{
    const quint64 ticket = m_nextTicket++;
    // The result is handed over through `slot`; `done` itself never leaves the owner's thread.
    const auto slot = std::make_shared<Result>();
    m_done.insert(ticket, [slot, done = std::move(done)] {
        if (done)
            done(*slot);
    });
    // The worker runs the calls posted to it one at a time, in posting order.
    QMetaObject::invokeMethod(
        m_worker,
        [this, ticket, slot, job = std::move(job)] {
            *slot = job();
            QMetaObject::invokeMethod(
                this,
                [this, ticket] {
                    const std::function<void()> finish = m_done.take(ticket);
                    if (finish)
                        finish();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
