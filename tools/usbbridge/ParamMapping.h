#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

#include "CameraDevice.h"
#include "Frames.h"

// Between a camera's configuration, which drivers describe as text ("1/250", "f/5.6",
// "Auto ISO", "Daylight"), and the parameter vocabulary of the camera link: shutter speed in
// microseconds, aperture in hundredths of an f-number, ISO with three automatic codes, colour
// temperature in kelvin, white-balance mode, film simulation, dynamic range and grain effect as
// codes, and the two white-balance tune axes as steps.
namespace usb::mapping {

inline constexpr qint64 kIsoAuto1 = 0xFFFFFFFF;
inline constexpr qint64 kDynamicRangeAuto = 0xFFFF;
// A range widget with more steps than this is reported with its current value only: the list
// would be longer than any control can offer and each value costs state-frame bytes.
inline constexpr int kMaxRangeValues = 2000;

// Readers of one choice text each; none when the text names no value of the vocabulary.
std::optional<qint64> shutterMicroseconds(const QString &text);
std::optional<qint64> apertureHundredths(const QString &text);
std::optional<qint64> isoCode(const QString &text);
std::optional<qint64> kelvin(const QString &text);
std::optional<qint64> whiteBalanceCode(const QString &text);
std::optional<qint64> filmSimulationCode(const QString &text);
std::optional<qint64> dynamicRangeCode(const QString &text);
std::optional<qint64> grainCode(const QString &text);
std::optional<qint64> tuneSteps(const QString &text);

using Param = frames::Param;

// The vocabulary keys this configuration carries, each with its current value and the values
// the camera offers now. A key whose widget is missing, or whose current value has no code, is
// left out.
QMap<QString, Param> paramsFromConfig(const QList<ConfigItem> &config);

// How to set `key` to `value` on this camera: the item and the text (choices, text widgets) or
// number (ranges) to give it. None when the camera has no such key or does not offer the value.
struct Change
{
    ConfigItem item;
    QString text;
    double value = 0;
};
std::optional<Change> changeFor(const QList<ConfigItem> &config, const QString &key, qint64 value);

// The item that carries `key` on this camera, if any.
const ConfigItem *itemFor(const QList<ConfigItem> &config, const QString &key);

} // namespace usb::mapping
