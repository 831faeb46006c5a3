#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

class CapturedPhoto;

// The metadata values of one image as read from its EXIF and TIFF tags, already checked for
// type: a value that is absent or stored with another type than the one expected is nullopt.
// "Real" values accept any numeric tag type; "integer" values accept only whole numbers that fit
// a signed 64-bit integer; strings accept only ASCII tags.
struct PhotoProperties {
    qint64 width = 0; // pixel size of image 0 as stored (not rotated); 0 when unknown
    qint64 height = 0;
    std::optional<double> exposureTime; // seconds
    std::optional<double> fNumber;
    std::optional<QList<qint64>> isoSpeedRatings;
    std::optional<double> exposureBias; // EV
    std::optional<qint64> whiteBalance;
    std::optional<QString> dateTimeOriginal;
    std::optional<QString> lensModel;
    std::optional<QString> model; // camera model, IFD0
    std::optional<double> focalLength; // millimetres
    // The capture time as an instant, from a decoder that reads the time stamp itself (LibRaw);
    // used when there is no DateTimeOriginal text that parses.
    std::optional<QDateTime> capturedAt;
};

// The display texts of the photo record. Every function is pure, uses "." as the decimal
// separator in every locale, and returns the missing-value text when it has nothing to show.
namespace PhotoText {

// printf's "%.<precision>f" (with "+" when `plus`): "." as the decimal separator in every
// locale and exact ties rounded as printf rounds them; missing when the value has no text.
[[nodiscard]] QString fixed(double value, int precision, bool plus = false);

// Base and extension of a file name: the extension is the text after the last ".", unless
// that "." is the first or the last character (then there is no extension). The one rule for
// both the format shown and the numbering of stored names.
struct NameParts {
    QString base;
    QString ext; // without the dot; empty when there is none
};
[[nodiscard]] NameParts splitExtension(const QString &name);

// The text after the last "." of the name's last path component. A name whose only "." is its
// first character (".profile") and a name ending in "." have no extension.
[[nodiscard]] QString pathExtension(const QString &name);

// "RAW" for the raw camera extensions (any case), otherwise the extension upper-cased; empty
// when the name has no extension.
[[nodiscard]] QString format(const QString &name);
[[nodiscard]] bool isRawExtension(const QString &extension);

// "1/250" below one second, "%.0fs" from one second up; missing for t <= 0, for non-finite
// values, and when 1/t does not fit a signed 64-bit integer.
[[nodiscard]] QString shutter(std::optional<double> seconds);
// "f/%.1f"; missing for non-finite values.
[[nodiscard]] QString aperture(std::optional<double> fNumber);
// The first element in decimal; missing for an empty list.
[[nodiscard]] QString iso(const std::optional<QList<qint64>> &ratings);
// "±0" when |v| < 0.05, otherwise "%+.1f"; missing for non-finite values.
[[nodiscard]] QString exposure(std::optional<double> ev);
// "AUTO" for 0, "Manual" for anything else.
[[nodiscard]] QString whiteBalance(std::optional<qint64> mode);
// The lens model (or else the camera model), then " @<mm>mm" when the focal length is positive;
// a focal length too large for a signed 64-bit integer is treated as absent.
[[nodiscard]] QString lens(const std::optional<QString> &model, const std::optional<QString> &lensModel,
    std::optional<double> focalLength);
// "yyyy:MM:dd HH:mm:ss" in the workstation's time zone; nullopt when the text does not match.
[[nodiscard]] std::optional<QDateTime> captureTime(const QString &text);

// Fills the metadata fields of `photo` (everything but id, images, name, size and format).
// `capturedAt` is replaced only by a capture time that parses, or else by props.capturedAt.
void apply(CapturedPhoto &photo, const PhotoProperties &props);

} // namespace PhotoText
