#pragma once

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// The connected cameras for the camera popover, in connection order. Cameras are only ever
// appended, so a change is an insertion at the end plus a refresh of the existing rows. Part of
// WindowState.
class CameraListModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

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

    explicit CameraListModel(const Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();
    [[nodiscard]] int count() const { return m_rows; }

    [[nodiscard]] static QString statusText(CameraStatus status);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    const Monitor &m_monitor;
    int m_rows = 0;
};
