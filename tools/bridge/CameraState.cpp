#include "CameraState.h"


#include <cmath>

namespace {

// The standard shutter speeds, in seconds, as cameras step them (thirds of a stop).
const double kShutterSeconds[] = {
    1.0 / 8000, 1.0 / 6400, 1.0 / 5000, 1.0 / 4000, 1.0 / 3200, 1.0 / 2500, 1.0 / 2000,
    1.0 / 1600, 1.0 / 1250, 1.0 / 1000, 1.0 / 800,  1.0 / 640,  1.0 / 500,  1.0 / 400,
    1.0 / 320,  1.0 / 250,  1.0 / 200,  1.0 / 160,  1.0 / 125,  1.0 / 100,  1.0 / 80,
    1.0 / 60,   1.0 / 50,   1.0 / 40,   1.0 / 30,   1.0 / 25,   1.0 / 20,   1.0 / 15,
    1.0 / 13,   1.0 / 10,   1.0 / 8,    1.0 / 6,    1.0 / 5,    1.0 / 4,    1.0 / 3,
    0.4,        0.5,        0.6,        0.8,        1,          1.3,        1.6,
    2,          2.5,        3.2,        4,          5,          6,          8,
    10,         13,         15,         20,         25,         30,
};

QList<qint64> range(qint64 from, qint64 to, qint64 step = 1)
{
    QList<qint64> out;
    for (qint64 v = from; v <= to; v += step)
        out.append(v);
    return out;
}

} // namespace

CameraState::CameraState(int seed)
{
    QList<qint64> shutter;
    for (double s : kShutterSeconds)
        shutter.append(std::llround(s * 1e6));
    m_params.insert(QStringLiteral("shutterSpeed"), {shutter.at(18 + seed % 6), shutter});

    const QList<qint64> apertures = {140, 160, 180, 200, 220, 250, 280, 320, 350, 400, 450,
                                     500, 560, 630, 710, 800, 900, 1000, 1100, 1300, 1400, 1600};
    m_params.insert(QStringLiteral("aperture"), {apertures.at(6 + seed % 8), apertures});

    QList<qint64> isos = {kIsoAuto1, kIsoAuto1 - 1, kIsoAuto1 - 2};
    isos += {160, 200, 250, 320, 400, 500, 640, 800, 1000, 1250, 1600, 2000, 2500, 3200, 4000,
             5000, 6400, 8000, 10000, 12800};
    m_params.insert(QStringLiteral("iso"), {isos.at(3 + seed % 10), isos});

    m_params.insert(QStringLiteral("colorTemperature"), {5500, range(2500, 10000, 100)});
    // White-balance modes as picture-transfer codes: auto, daylight, fluorescent, tungsten,
    // flash, manual.
    m_params.insert(QStringLiteral("whiteBalanceMode"), {2, {2, 4, 5, 6, 7, 1}});
    m_params.insert(QStringLiteral("filmSimulation"), {1 + seed % 20, range(1, 20)});
    m_params.insert(QStringLiteral("dynamicRangeMode"), {100, {65535, 100, 200, 400}});
    m_params.insert(QStringLiteral("grainEffect"), {1, range(1, 5)});
    m_params.insert(QStringLiteral("wbTune1"), {0, range(-9, 9)});
    m_params.insert(QStringLiteral("wbTune2"), {0, range(-9, 9)});
    // Exposure compensation in thousandths of a stop, in thirds from -5 to +5.
    QList<qint64> comp;
    for (int third = -15; third <= 15; ++third)
        comp.append(std::llround(third * 1000.0 / 3.0));
    m_params.insert(QStringLiteral("exposureComp"), {0, comp});
}

CameraState::SetResult CameraState::set(const QString &key, qint64 value)
{
    auto it = m_params.find(key);
    if (it == m_params.end())
        return SetResult::UnknownKey;
    if (!it->values.contains(value))
        return SetResult::NotAllowed;
    it->current = value;
    return SetResult::Applied;
}

QByteArray CameraState::toJson() const
{
    return frames::stateJson(m_params);
}

qint64 CameraState::effectiveIso() const
{
    const qint64 iso = current(QStringLiteral("iso"));
    // AUTO1..3 differ in their upper limit; a well-lit studio lands at the base here.
    return iso >= kIsoAuto1 - 2 ? 400 : iso;
}
