#include "ingest/StoreWriter.h"

#include "model/Background.h"

StoreWriter::StoreWriter(QObject *parent)
    : QObject(parent)
    , m_worker(new QObject)
{
    m_thread.setObjectName(QStringLiteral("halvane-store"));
    m_worker->moveToThread(&m_thread);
    // Emitted on the new thread itself.
    connect(&m_thread, &QThread::started, m_worker, [] { background::yieldToWindow(0); }, Qt::DirectConnection);
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
    run<capture::StoreResult>([dir, name, data] { return capture::storeFile(dir, name, data); }, std::move(done));
}

void StoreWriter::removeLeftovers(const QString &dir, std::function<void(int removed)> done)
{
    run<int>([dir] { return capture::removeLeftovers(dir); }, std::move(done));
}
