#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QtQml/qqmlregistration.h>

// The theme tokens every view takes its colours, corner radii and heading font from. Constants:
// one dark palette, no switching. Exposed to QML as the singleton `Zelv`.
class Zelv : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(QColor bg READ bg CONSTANT)
    Q_PROPERTY(QColor surface READ surface CONSTANT)
    Q_PROPERTY(QColor text READ text CONSTANT)
    Q_PROPERTY(QColor accent READ accent CONSTANT)
    Q_PROPERTY(QColor divider READ divider CONSTANT)
    Q_PROPERTY(QColor neutral100 READ neutral100 CONSTANT)
    Q_PROPERTY(QColor neutral200 READ neutral200 CONSTANT)
    Q_PROPERTY(QColor neutral300 READ neutral300 CONSTANT)
    Q_PROPERTY(QColor neutral400 READ neutral400 CONSTANT)
    Q_PROPERTY(QColor neutral500 READ neutral500 CONSTANT)
    Q_PROPERTY(QColor neutral600 READ neutral600 CONSTANT)
    Q_PROPERTY(QColor neutral700 READ neutral700 CONSTANT)
    Q_PROPERTY(QColor neutral800 READ neutral800 CONSTANT)
    Q_PROPERTY(QColor neutral900 READ neutral900 CONSTANT)
    Q_PROPERTY(QColor accent100 READ accent100 CONSTANT)
    Q_PROPERTY(QColor accent200 READ accent200 CONSTANT)
    Q_PROPERTY(QColor accent300 READ accent300 CONSTANT)
    Q_PROPERTY(QColor accent700 READ accent700 CONSTANT)
    Q_PROPERTY(QColor accent800 READ accent800 CONSTANT)
    Q_PROPERTY(QColor bgTranslucent READ bgTranslucent CONSTANT)
    Q_PROPERTY(QColor clipHighlight READ clipHighlight CONSTANT)
    Q_PROPERTY(QColor clipShadow READ clipShadow CONSTANT)
    Q_PROPERTY(QColor channelRed READ channelRed CONSTANT)
    Q_PROPERTY(QColor channelGreen READ channelGreen CONSTANT)
    Q_PROPERTY(QColor channelBlue READ channelBlue CONSTANT)
    Q_PROPERTY(int radiusSm READ radiusSm CONSTANT)
    Q_PROPERTY(int radiusMd READ radiusMd CONSTANT)
    Q_PROPERTY(int radiusLg READ radiusLg CONSTANT)
    Q_PROPERTY(QFont headingFont READ headingFont CONSTANT)

public:
    using QObject::QObject;

    // The sRGB colour 0xRRGGBB held in the low 24 bits of `hex` (the top 8 bits are ignored)
    // at the given opacity.
    [[nodiscard]] static QColor color(quint32 hex, double opacity = 1.0);

    [[nodiscard]] static QColor bg() { return color(0x161826); }
    [[nodiscard]] static QColor surface() { return color(0x232532); }
    [[nodiscard]] static QColor text() { return color(0xE9E9ED); }
    [[nodiscard]] static QColor accent() { return color(0x9184D9); }
    // Pure white at 16 % rather than a grey: it lightens whatever lies under it.
    [[nodiscard]] static QColor divider() { return color(0xFFFFFF, 0.16); }
    [[nodiscard]] static QColor neutral100() { return color(0xF3F5FE); }
    [[nodiscard]] static QColor neutral200() { return color(0xE4E7F5); }
    [[nodiscard]] static QColor neutral300() { return color(0xCFD3E5); }
    [[nodiscard]] static QColor neutral400() { return color(0xB2B6CA); }
    [[nodiscard]] static QColor neutral500() { return color(0x9397AB); }
    [[nodiscard]] static QColor neutral600() { return color(0x75798C); }
    [[nodiscard]] static QColor neutral700() { return color(0x595D6C); }
    [[nodiscard]] static QColor neutral800() { return color(0x3F424D); }
    [[nodiscard]] static QColor neutral900() { return color(0x292B31); }
    [[nodiscard]] static QColor accent100() { return color(0xF5F4FF); }
    [[nodiscard]] static QColor accent200() { return color(0xE7E5FE); }
    [[nodiscard]] static QColor accent300() { return color(0xD2CEFD); }
    [[nodiscard]] static QColor accent700() { return color(0x5D5294); }
    [[nodiscard]] static QColor accent800() { return color(0x423A6A); }

    // The background behind small controls laid over an image: the image shows through a little.
    [[nodiscard]] static QColor bgTranslucent() { return color(0x161826, 0.72); }
    // The viewer's aids: blown highlights warm and crushed shadows cold, so they read apart at a
    // glance over any photo; the histogram's channel curves.
    [[nodiscard]] static QColor clipHighlight() { return color(0xFF5A36); }
    [[nodiscard]] static QColor clipShadow() { return color(0x3D9BFF); }
    [[nodiscard]] static QColor channelRed() { return color(0xE8606A); }
    [[nodiscard]] static QColor channelGreen() { return color(0x5CC27C); }
    [[nodiscard]] static QColor channelBlue() { return color(0x5A8CF0); }

    [[nodiscard]] static int radiusSm() { return 4; }
    [[nodiscard]] static int radiusMd() { return 8; }
    [[nodiscard]] static int radiusLg() { return 14; }

    // The system sans-serif at 13 points, medium weight. A view point is one logical pixel, so
    // font sizes are pixel sizes throughout.
    [[nodiscard]] static QFont headingFont();
};
