#pragma once

#include <QAbstractListModel>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// The connected cameras for the camera popover, in connection order. Cameras are only ever
// appended, so a change is an insertion at the end plus a refresh of the existing rows.
class CameraListModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(Monitor *monitor READ monitor WRITE setMonitor NOTIFY monitorChanged REQUIRED)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        CameraIdRole = Qt::UserRole + 1,
        NameRole,
        StatusRole,     // CameraStatus as int
        StatusTextRole, // "Recibiendo", "En pausa", "Sin señal"
        EnabledRole,
        NoSignalRole,
        ActiveRole,
    };

    explicit CameraListModel(QObject *parent = nullptr);

    [[nodiscard]] Monitor *monitor() const { return m_monitor; }
    void setMonitor(Monitor *monitor);
    [[nodiscard]] int count() const { return m_rows; }

    [[nodiscard]] static QString statusText(CameraStatus status);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

signals:
    void monitorChanged();
    void countChanged();

private:
    void sync();

    QPointer<Monitor> m_monitor;
    int m_rows = 0;
};
