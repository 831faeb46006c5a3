#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QMap>
#include <QString>

#include <optional>

#include "model/ParamState.h"

// Decoding of the JSON messages a bridge sends: the hello that names the camera and the state
// frame with the camera's parameters. Pure functions, so the rules are testable without a
// Monitor.
namespace inbound {

// The camera name a hello payload announces: the payload's first two bytes are skipped (a
// shorter payload is taken whole), the rest must be a JSON object whose "camera" member is a
// non-empty string. std::nullopt otherwise.
[[nodiscard]] std::optional<QString> helloName(const QByteArray &payload);

// A JSON number (or true/false, which count as 1/0) as a signed 64-bit raw value. Integer
// literals are exact over the whole 64-bit range; fractions are cut toward zero; values beyond
// the range saturate at its ends. std::nullopt for anything else.
[[nodiscard]] std::optional<qint64> rawValue(const QJsonValue &value);

// The parameter entries of a state payload, to be merged into a camera's table; std::nullopt
// when the payload is not a JSON object. "supported" and malformed members are left out; a
// "values" member that is not an array of numbers gives an empty list.
[[nodiscard]] std::optional<QMap<QString, ParamState>> stateEntries(const QByteArray &payload);

} // namespace inbound
