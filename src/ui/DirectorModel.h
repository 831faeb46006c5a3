#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// The active camera's reported parameters for the director sidebar, in display order: one row
// per key whose list of allowed values is not empty, with its label, value text and slider.
// While the key set stays the same a change only refreshes the rows, so a slider being dragged
// keeps its delegate (and its grab) while each step is sent and echoed back. Part of WindowState.
class DirectorModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    // The camera has reported no parameter at all.
    Q_PROPERTY(bool waiting READ waiting NOTIFY changed)
    // The camera reports "exposureComp", which enables (but does not wire) the exposure slider.
    Q_PROPERTY(bool exposureReported READ exposureReported NOTIFY changed)

public:
    enum Role {
        KeyRole = Qt::UserRole + 1,
        LabelRole,
        ValueTextRole,
        ValueCountRole,
        PositionRole, // slider index shown: the first allowed value equal to current, else 0
        HasSliderRole,
    };

    struct Row {
        QString key;
        QString label;
        QString valueText;
        QList<qint64> values;
        int position = 0;
        bool operator==(const Row &) const = default;
    };

    explicit DirectorModel(Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();
    [[nodiscard]] bool waiting() const { return m_waiting; }
    [[nodiscard]] bool exposureReported() const { return m_exposureReported; }

    // The rows for one camera's parameter state.
    [[nodiscard]] static QList<Row> rowsFor(const QMap<QString, ParamState> &paramState);

    // A slider of `row` moved to `position`: sends the allowed value at the nearest index
    // (halves away from zero) through Monitor::setParam; an index outside the list sends nothing.
    Q_INVOKABLE void move(int row, double position);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

signals:
    void changed();

private:
    Monitor &m_monitor;
    QList<Row> m_rows;
    bool m_waiting = true;
    bool m_exposureReported = false;
};
