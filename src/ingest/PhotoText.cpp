#include "ingest/PhotoText.h"

#include <QStringList>

#include <array>
#include <charconv>
#include <cmath>

#include "model/CapturedPhoto.h"
#include "model/Missing.h"
#include "model/ParamState.h"

namespace PhotoText {

// printf's "%.<precision>f" (with "+" when `plus`): "." as the decimal separator whatever the
// user's locale, and exact ties rounded as printf rounds them (2.5 gives "2"), which
// QString::asprintf does not do.
QString fixed(double value, int precision, bool plus)
{
    std::array<char, 400> buffer {}; // the largest double has 309 integer digits
    const auto [end, error] = std::to_chars(
        buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, precision);
    if (error != std::errc())
        return kMissing;
    QString text = QString::fromLatin1(buffer.data(), end - buffer.data());
    if (plus && !text.startsWith(QLatin1Char('-')))
        text.prepend(QLatin1Char('+'));
    return text;
}

NameParts splitExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return {name, QString()};
    return {name.left(dot), name.mid(dot + 1)};
}

QString pathExtension(const QString &name)
{
    return splitExtension(name.mid(name.lastIndexOf(QLatin1Char('/')) + 1)).ext;
}

bool isRawExtension(const QString &extension)
{
    static const QStringList kRaw = {
        QStringLiteral("raf"),
        QStringLiteral("cr2"),
        QStringLiteral("cr3"),
        QStringLiteral("nef"),
        QStringLiteral("arw"),
        QStringLiteral("dng"),
        QStringLiteral("orf"),
        QStringLiteral("rw2"),
        QStringLiteral("srw"),
        QStringLiteral("pef"),
        QStringLiteral("rwl"),
        QStringLiteral("gpr"),
        QStringLiteral("raw"),
    };
    return kRaw.contains(extension.toLower());
}

QString format(const QString &name)
{
    const QString ext = pathExtension(name);
    if (isRawExtension(ext))
        return QStringLiteral("RAW");
    return ext.toUpper();
}

QString shutter(std::optional<double> seconds)
{
    if (!seconds || !std::isfinite(*seconds) || *seconds <= 0)
        return kMissing;
    const double t = *seconds;
    if (t >= 1)
        return fixed(t, 0) + QLatin1Char('s');
    // Halves away from zero, as std::round does. A time so short that the denominator leaves
    // the 64-bit range is no real exposure: show it as missing rather than a made-up number.
    const double denominator = std::round(1.0 / t);
    if (!(denominator < kInt64Limit))
        return kMissing;
    return QStringLiteral("1/") + QString::number(static_cast<qint64>(denominator));
}

QString aperture(std::optional<double> fNumber)
{
    if (!fNumber || !std::isfinite(*fNumber))
        return kMissing;
    return QStringLiteral("f/") + fixed(*fNumber, 1);
}

QString iso(const std::optional<QList<qint64>> &ratings)
{
    if (!ratings || ratings->isEmpty())
        return kMissing;
    return QString::number(ratings->first());
}

QString exposure(std::optional<double> ev)
{
    if (!ev || !std::isfinite(*ev))
        return kMissing;
    if (std::fabs(*ev) < 0.05)
        return QStringLiteral("\u00b10");
    return fixed(*ev, 1, true);
}

QString whiteBalance(std::optional<qint64> mode)
{
    if (!mode)
        return kMissing;
    return *mode == 0 ? QStringLiteral("AUTO") : QStringLiteral("Manual");
}

QString lens(const std::optional<QString> &model, const std::optional<QString> &lensModel,
    std::optional<double> focalLength)
{
    QString text = model.value_or(QString());
    if (lensModel)
        text = *lensModel; // even an empty lens model replaces the camera model
    if (focalLength && *focalLength > 0 && *focalLength < kInt64Limit) {
        const QString mm
            = QString::number(static_cast<qint64>(std::trunc(*focalLength))) + QStringLiteral("mm");
        text = text.isEmpty() ? mm : text + QStringLiteral(" @") + mm;
    }
    return text.isEmpty() ? kMissing : text;
}

std::optional<QDateTime> captureTime(const QString &text)
{
    // QDateTime::fromString reads the fields in local time, the workstation's time zone.
    const QDateTime parsed = QDateTime::fromString(text, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!parsed.isValid())
        return std::nullopt;
    return parsed;
}

void apply(CapturedPhoto &photo, const PhotoProperties &props)
{
    photo.width = props.width;
    photo.height = props.height;
    photo.shutter = shutter(props.exposureTime);
    photo.aperture = aperture(props.fNumber);
    photo.iso = iso(props.isoSpeedRatings);
    photo.exposure = exposure(props.exposureBias);
    photo.wb = whiteBalance(props.whiteBalance);
    const std::optional<QDateTime> taken = props.dateTimeOriginal ? captureTime(*props.dateTimeOriginal) : std::nullopt;
    if (taken)
        photo.capturedAt = *taken;
    else if (props.capturedAt && props.capturedAt->isValid())
        photo.capturedAt = props.capturedAt->toLocalTime();
    photo.lens = lens(props.model, props.lensModel, props.focalLength);
}

} // namespace PhotoText
