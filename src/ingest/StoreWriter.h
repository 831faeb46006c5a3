#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

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

    [[nodiscard]] int inFlight() const { return int(m_done.size()); }

private:
    // Runs `job` on the writing thread, then `done` with its result on the owner's thread.
    template<typename Result>
    void post(std::function<Result()> job, std::function<void(const Result &)> done);

    QThread m_thread;
    QObject *m_worker = nullptr; // lives on m_thread
    quint64 m_nextTicket = 1;
    QHash<quint64, std::function<void()>> m_done; // the owner's part of each queued job
};
