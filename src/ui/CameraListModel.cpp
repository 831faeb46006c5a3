#include "CameraListModel.h"

CameraListModel::CameraListModel(const Monitor &monitor, QObject *parent)
    : QAbstractListModel(parent)
    , m_monitor(monitor)
    , m_rows(int(monitor.cameras().size()))
{
}

QString CameraListModel::statusText(CameraStatus status)
{
    switch (status) {
    case CameraStatus::Receiving:
        return QStringLiteral("Recibiendo");
    case CameraStatus::Paused:
        return QStringLiteral("En pausa");
    case CameraStatus::NoSignal:
        return QStringLiteral("Sin señal");
    }
    return {};
}

void CameraListModel::refresh()
{
    const int cameras = int(m_monitor.cameras().size());
    if (cameras < m_rows) {
        beginResetModel();
        m_rows = cameras;
        endResetModel();
        emit countChanged();
        return;
    }
    const int existing = m_rows;
    if (cameras > m_rows) {
        beginInsertRows({}, m_rows, cameras - 1);
        m_rows = cameras;
        endInsertRows();
        emit countChanged();
    }
    if (existing > 0)
        emit dataChanged(index(0), index(existing - 1));
}

int CameraListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

QVariant CameraListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)
        || index.row() >= m_monitor.cameras().size())
        return {};
    const CameraConnection &cam = *m_monitor.cameras().at(index.row());
    switch (role) {
    case CameraIdRole:
        return cam.id().toString(QUuid::WithoutBraces);
    case NameRole:
    case Qt::DisplayRole:
        return cam.name;
    case StatusRole:
        return int(cam.status);
    case StatusTextRole:
        return statusText(cam.status);
    case EnabledRole:
        return cam.enabled;
    case NoSignalRole:
        return cam.status == CameraStatus::NoSignal;
    case ActiveRole:
        return m_monitor.activeCamera() == &cam;
    default:
        return {};
    }
}

QHash<int, QByteArray> CameraListModel::roleNames() const
{
    return {
        {CameraIdRole, "cameraId"}, {NameRole, "name"},       {StatusRole, "status"},
        {StatusTextRole, "statusText"}, {EnabledRole, "receptionOn"}, {NoSignalRole, "noSignal"},
        {ActiveRole, "active"},
    };
}
