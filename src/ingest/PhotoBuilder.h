#pragma once

#include <QByteArray>
#include <QString>

#include "model/CapturedPhoto.h"

// The record of a received photo: its name as sent, size, format, metadata texts and
// thumbnail. Never fails: whatever cannot be read keeps its default. The full image is not
// decoded here; the store attaches a preview that decodes it when it is first drawn.
[[nodiscard]] CapturedPhoto buildPhoto(const QString &name, const QByteArray &data);
