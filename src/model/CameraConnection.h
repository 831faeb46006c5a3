#pragma once

#include <QDateTime>
#include <QImage>
#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>

#include <memory>

#include "model/CameraStatus.h"
#include "model/CapturedPhoto.h"
#include "model/Connection.h"
#include "model/ParamState.h"

// The application's whole knowledge of one connected camera. One shared object per accepted
// connection; never removed while the process runs. Not observable by itself: whoever changes
// a field emits Monitor::objectWillChange right after. Main thread only.
class CameraConnection
{
public:
    explicit CameraConnection(std::unique_ptr<Connection> conn);
    CameraConnection(const CameraConnection &) = delete;
    CameraConnection &operator=(const CameraConnection &) = delete;

    [[nodiscard]] const QUuid &id() const { return m_id; }
    // The link to the bridge; may be null for a record made without one.
    [[nodiscard]] Connection *conn() const { return m_conn.get(); }

    bool operator==(const CameraConnection &other) const { return m_id == other.m_id; }

    QString name = QStringLiteral("Cámara");
    CameraStatus status = CameraStatus::Receiving;
    bool enabled = true;
    QList<CapturedPhoto> photos; // oldest first
    QMap<QString, ParamState> paramState;
    QImage liveFrame; // null when absent; announced by Monitor::liveFrameChanged instead
    QDateTime lastActivity = QDateTime::currentDateTime();

private:
    const QUuid m_id = QUuid::createUuid();
    const std::unique_ptr<Connection> m_conn;
};
