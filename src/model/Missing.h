#pragma once

#include <QString>

// The missing-value text (U+2014 EM DASH), shown wherever a value is missing.
inline const QString kMissing = QStringLiteral("\u2014");
