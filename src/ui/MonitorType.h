#pragma once

#include <QtQml/qqml.h>

#include "share/ShareService.h"
#include "state/Monitor.h"

// Makes the one Monitor known to QML as a type, so the root view can take it as a required
// property. QML never creates one.
struct MonitorForeign {
    Q_GADGET
    QML_FOREIGN(Monitor)
    QML_NAMED_ELEMENT(Monitor)
    QML_UNCREATABLE("The application creates the one Monitor")
};

// The client view, reached through WindowState.share.
struct ShareServiceForeign {
    Q_GADGET
    QML_FOREIGN(ShareService)
    QML_NAMED_ELEMENT(ShareService)
    QML_UNCREATABLE("The application creates the one ShareService")
};
