#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "model/ParamState.h"

// The camera parameter vocabulary and the formatters that turn one raw value into the text
// the director sidebar shows. Stateless: the tables are built once, on first use (function-local
// statics, so thread-safe), and never change.
class ParamFormat
{
public:
    ParamFormat() = delete;

    [[nodiscard]] static const QStringList &paramOrder();
    [[nodiscard]] static const QMap<QString, QString> &paramLabels();
    [[nodiscard]] static const QMap<qint64, QString> &filmSimulationNames();
    [[nodiscard]] static const QMap<qint64, QString> &dynamicRangeNames();
    [[nodiscard]] static const QMap<qint64, QString> &grainNames();
    [[nodiscard]] static const QMap<qint64, QString> &isoAutoLabels();
    [[nodiscard]] static const QList<qint64> &standardShutterMicroseconds();

    // The label shown for a key: its Spanish label, or the key itself.
    [[nodiscard]] static QString displayLabel(const QString &key);

    [[nodiscard]] static QString shutter(qint64 microseconds);
    [[nodiscard]] static QString aperture(qint64 hundredths);
    [[nodiscard]] static QString iso(qint64 code);
    [[nodiscard]] static QString kelvin(qint64 kelvin);
    [[nodiscard]] static QString label(const QString &key, qint64 value);

    // Display order of the keys one camera reports: the known keys in vocabulary order, then
    // the others in ascending code-point order.
    [[nodiscard]] static QStringList orderedParamNames(const QMap<QString, ParamState> &paramState);
};
