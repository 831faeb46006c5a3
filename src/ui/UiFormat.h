#pragma once

#include <QDateTime>
#include <QString>

// Display texts the views compute from a photo record.
namespace UiFormat {

// Bytes in binary megabytes with one decimal, a middle dot and the format: "24.3 MB · RAW".
// The decimal separator is "." in every locale.
[[nodiscard]] QString sizeText(qint64 bytes, const QString &format);
// "6240×4160", or "—" when the width is not positive.
[[nodiscard]] QString dimensionsText(qint64 width, qint64 height);
// Local time of day, 24-hour "HH:mm:ss"; "—" for an invalid time.
[[nodiscard]] QString timeText(const QDateTime &when);

} // namespace UiFormat
