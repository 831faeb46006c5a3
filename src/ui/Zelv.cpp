#include "Zelv.h"

QColor Zelv::color(quint32 hex, double opacity)
{
    QColor c;
    c.setRgbF(static_cast<float>(((hex >> 16) & 0xFF) / 255.0),
              static_cast<float>(((hex >> 8) & 0xFF) / 255.0),
              static_cast<float>((hex & 0xFF) / 255.0),
              static_cast<float>(opacity));
    return c;
}

QFont Zelv::headingFont()
{
    QFont font;
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    return font;
}
