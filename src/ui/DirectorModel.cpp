#include "DirectorModel.h"

#include <cmath>

#include "params/ParamFormat.h"

DirectorModel::DirectorModel(Monitor &monitor, QObject *parent)
    : QAbstractListModel(parent)
    , m_monitor(monitor)
{
}

QList<DirectorModel::Row> DirectorModel::rowsFor(const QMap<QString, ParamState> &paramState)
{
    QList<Row> rows;
    for (const QString &key : ParamFormat::orderedParamNames(paramState)) {
        const ParamState &state = paramState[key];
        if (state.values.isEmpty())
            continue;
        const qsizetype at = state.values.indexOf(state.current);
        rows.append({key, ParamFormat::displayLabel(key), ParamFormat::label(key, state.current), state.values,
                     at < 0 ? 0 : int(at)});
    }
    return rows;
}

void DirectorModel::refresh()
{
    const CameraConnection *cam = m_monitor.activeCamera();
    const QMap<QString, ParamState> empty;
    const QMap<QString, ParamState> &state = cam ? cam->paramState : empty;
    QList<Row> rows = rowsFor(state);

    bool sameKeys = rows.size() == m_rows.size();
    for (qsizetype i = 0; sameKeys && i < rows.size(); ++i)
        sameKeys = rows[i].key == m_rows[i].key;

    if (!sameKeys) {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    } else {
        for (qsizetype i = 0; i < rows.size(); ++i) {
            if (rows[i] == m_rows[i])
                continue;
            m_rows[i] = rows[i];
            emit dataChanged(index(int(i)), index(int(i)));
        }
    }
    m_waiting = state.isEmpty();
    m_exposureReported = state.contains(QStringLiteral("exposureComp"));
    emit changed();
}

void DirectorModel::move(int row, double position)
{
    if (row < 0 || row >= m_rows.size() || !std::isfinite(position))
        return;
    // Copy what the call needs: setParam changes the state, and the rows follow at once.
    const Row current = m_rows[row];
    const double i = std::round(position);
    if (i < 0 || i >= double(current.values.size()))
        return;
    m_monitor.setParam(current.key, current.values[qsizetype(i)]);
}

int DirectorModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant DirectorModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows[index.row()];
    switch (role) {
    case KeyRole:
        return row.key;
    case LabelRole:
    case Qt::DisplayRole:
        return row.label;
    case ValueTextRole:
        return row.valueText;
    case ValueCountRole:
        return int(row.values.size());
    case PositionRole:
        return row.position;
    case HasSliderRole:
        return row.values.size() >= 2;
    default:
        return {};
    }
}

QHash<int, QByteArray> DirectorModel::roleNames() const
{
    return {
        {KeyRole, "key"},           {LabelRole, "label"},       {ValueTextRole, "valueText"},
        {ValueCountRole, "valueCount"}, {PositionRole, "position"}, {HasSliderRole, "hasSlider"},
    };
}
