#pragma once

#include <QList>
#include <QtGlobal>

// 2^63: the first double beyond the signed 64-bit range of raw values (and of any integer read
// from a photo's metadata).
inline constexpr double kInt64Limit = 9223372036854775808.0;

// State of one camera parameter: its current raw value and the raw values the camera allows,
// in the order the bridge sent them. Raw values are the camera's own codes and units.
struct ParamState {
    qint64 current = 0;
    QList<qint64> values;
};
