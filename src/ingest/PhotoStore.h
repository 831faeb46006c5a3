#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <memory>

#include "ingest/CaptureStorage.h"
#include "ingest/PreviewCache.h"
#include "ingest/StoreWriter.h"
#include "model/CapturedPhoto.h"

// Stores received photos in the capture folder and keeps them until they are stored.
//
// Each photo's bytes go into the preview cache (its only copy until the file is complete) and
// its file is written off the main thread, in arrival order. A photo that cannot be written (no
// folder, a folder that fails) waits in memory; the waiting photos are written oldest first
// when the folder is set again (writeWaiting), when a later photo is stored, or on a retry
// tick. Each failure cause is logged once until a write succeeds again.
//
// The photo records belong to the owner: every change of a photo's storage state is told
// through storageChanged, one signal per step. Main thread only.
class PhotoStore : public QObject
{
    Q_OBJECT

public:
    // While photos wait for a folder that failed, the oldest is tried again at this interval,
    // so they are written once the folder works again even if no new photo arrives to show it.
    // One file per try keeps a full disk from being written over and over.
    static constexpr int kDefaultRetryIntervalMs = 2000;

    struct Update {
        QUuid cameraId;
        QUuid photoId;
        CapturedPhoto::Storage storage = CapturedPhoto::Storage::NotStored;
        QString storedPath; // where the file is, when Stored
    };

    explicit PhotoStore(int retryIntervalMs = kDefaultRetryIntervalMs, QObject *parent = nullptr);
    // Writes already handed to the writing thread are completed first.
    ~PhotoStore() override;

    // The folder new writes go to (empty: none). A folder coming into use is first cleared of
    // the temporary files interrupted writes left there, in order with the writes.
    void setFolder(const QString &folder);
    [[nodiscard]] QString folder() const { return m_folder; }

    // Takes in a received photo of camera `cameraId`: sets its preview and its storage state
    // (Writing, or NotStored while there is no folder). No signal: the owner shows the record.
    void add(const QUuid &cameraId, CapturedPhoto &photo, const QByteArray &data);

    // Queues the waiting photos, oldest first, into the folder; told as one storageChanged.
    void writeWaiting();

    [[nodiscard]] int waitingCount() const { return int(m_waiting.size()); }
    [[nodiscard]] int writesInFlight() const { return m_writer.inFlight(); }
    [[nodiscard]] PreviewCache &previews() const { return *m_previews; }

signals:
    // Storage states that changed together, in the order they changed.
    void storageChanged(const QList<PhotoStore::Update> &updates);

private:
    struct Waiting {
        QUuid cameraId;
        QUuid photoId;
        PreviewCache::Key key = 0; // grows with arrival
        QString name; // as the peer sent it
    };

    void queueWrite(const Waiting &item, QList<Update> &updates);
    void queueAllWaiting(QList<Update> &updates);
    void written(const Waiting &item, const capture::StoreResult &result);
    void retryOldest();
    void reportFailure(const capture::StoreResult &result, const QString &name);

    QString m_folder;
    std::shared_ptr<PreviewCache> m_previews = std::make_shared<PreviewCache>();
    // Declared after the cache so that it is destroyed first: its pending results refer to it.
    StoreWriter m_writer;
    QList<Waiting> m_waiting; // in arrival order
    QTimer m_retryTimer;
    // Causes reported since the last successful write: each is logged once per episode.
    QSet<int> m_reportedCauses;
};
