#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include "Frames.h"

// The parameter state of a simulated camera: every key of the application's vocabulary plus
// "exposureComp", each with a current raw value and the values the camera allows, in the
// camera's own units (µs, hundredths of an f-number, kelvin, enumeration codes).
class CameraState
{
public:
    using Param = frames::Param;

    enum class SetResult { Applied, UnknownKey, NotAllowed };

    // A realistic starting state. `seed` varies the current values between cameras.
    explicit CameraState(int seed = 0);

    // Changes one parameter the way a camera does: only to a value it allows.
    SetResult set(const QString &key, qint64 value);

    [[nodiscard]] const QMap<QString, Param> &params() const { return m_params; }
    [[nodiscard]] qint64 current(const QString &key) const { return m_params.value(key).current; }

    // The state frame's JSON: one member per parameter plus "supported" (the list of keys).
    [[nodiscard]] QByteArray toJson() const;

    // The exposure that a photo taken now records, derived from the state. The automatic ISO
    // codes resolve to the sensitivity the camera would pick.
    [[nodiscard]] qint64 effectiveIso() const;

    static constexpr qint64 kIsoAuto1 = 4294967295;

private:
    QMap<QString, Param> m_params;
};
