#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>

#include <memory>

#include "ingest/CaptureStorage.h"
#include "ingest/PreviewCache.h"

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
    QList<Pending> pending; // in arrival order
    // Causes reported since the last successful write: each is logged once per episode.
    QSet<int> reportedCauses;
};
