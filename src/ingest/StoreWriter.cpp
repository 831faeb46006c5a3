#include "ingest/StoreWriter.h"

#include <QCoreApplication>
#include <QEventLoop>

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

void StoreWriter::write(const QString &dir, const QString &name, const QByteArray &data, Done done)
{
    const quint64 ticket = m_nextTicket++;
    m_done.insert(ticket, std::move(done));
    // The worker runs the calls posted to it one at a time, in posting order.
    QMetaObject::invokeMethod(
        m_worker,
        [this, dir, name, data, ticket] {
            const capture::StoreResult result = capture::storeFile(dir, name, data);
            QMetaObject::invokeMethod(
                this,
                [this, ticket, result] {
                    const Done done = m_done.take(ticket);
                    if (done)
                        done(result);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void StoreWriter::waitForIdle()
{
    // Each result arrives as a posted event, which wakes the wait.
    while (!m_done.isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
