#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <memory>

#include "ingest/CaptureStorage.h"
#include "ingest/PreviewCache.h"
#include "ingest/StoreWriter.h"

class Monitor;

// Runs the event loop until every file handed to the writer is stored or has failed and the
// records show it. For tests, benchmarks and orderly shutdown.
void waitForStores(Monitor &monitor);

// What Monitor keeps for storing photos: the preview cache shared by the photo records, the
// photos whose files are not written yet, and which failure causes have been reported.
struct IngestState {
    // A received photo whose file could not be written. Its bytes stay pinned in the cache
    // until a later attempt stores them.
    struct Pending {
        QUuid cameraId;
        QUuid photoId;
        PreviewCache::Key key = 0;
        QString name; // as the peer sent it
    };

    std::shared_ptr<PreviewCache> previews = std::make_shared<PreviewCache>();
    // Declared after the cache so that it is destroyed first: its pending results refer to it.
    std::unique_ptr<StoreWriter> writer = std::make_unique<StoreWriter>();
    QList<Pending> pending; // in arrival order
    // While photos wait for a folder that failed, one of them is tried again at this interval,
    // so they are written once the folder works again even if no new photo arrives to show it.
    // One probe file per try keeps a full disk from being written over and over.
    static constexpr int kRetryIntervalMs = 2000;
    QTimer retryTimer;
    // Causes reported since the last successful write: each is logged once per episode.
    QSet<int> reportedCauses;
};
