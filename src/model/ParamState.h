#pragma once

#include <QList>
#include <QtGlobal>

// State of one camera parameter: its current raw value and the raw values the camera allows,
// in the order the bridge sent them. Raw values are the camera's own codes and units.
struct ParamState {
    qint64 current = 0;
    QList<qint64> values;
};
