#include "UiFormat.h"

#include "ingest/PhotoText.h"
#include "model/Missing.h"

namespace UiFormat {

QString sizeText(qint64 bytes, const QString &format)
{
    // The same printf-style rounding as the metadata texts: 1,310,720 bytes are "1.2", not "1.3".
    return PhotoText::fixed(double(bytes) / 1048576.0, 1) + QStringLiteral(" MB \u00B7 ") + format;
}

QString dimensionsText(qint64 width, qint64 height)
{
    if (width <= 0)
        return kMissing;
    return QString::number(width) + QChar(0x00D7) + QString::number(height);
}

QString timeText(const QDateTime &when)
{
    if (!when.isValid())
        return kMissing;
    return when.toLocalTime().toString(QStringLiteral("HH:mm:ss"));
}

} // namespace UiFormat
