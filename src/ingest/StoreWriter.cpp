#include "ingest/StoreWriter.h"

#include <memory>

StoreWriter::StoreWriter(QObject *parent)
    : QObject(parent)
    , m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("halvane-store"));
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

StoreWriter::~StoreWriter()
{
    // Queued behind the writes already handed over, so those still complete.
    QMetaObject::invokeMethod(m_worker, [this] { m_thread.quit(); }, Qt::QueuedConnection);
    m_thread.wait();
    delete m_worker;
}

template<typename Result>
void StoreWriter::post(std::function<Result()> job, std::function<void(const Result &)> done)
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

void StoreWriter::write(const QString &dir, const QString &name, const QByteArray &data, Done done)
{
    post<capture::StoreResult>([dir, name, data] { return capture::storeFile(dir, name, data); }, std::move(done));
}

void StoreWriter::removeLeftovers(const QString &dir, std::function<void(int removed)> done)
{
    post<int>([dir] { return capture::removeLeftovers(dir); }, std::move(done));
}
