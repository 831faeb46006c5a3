#include "QrCodeItem.h"

#include <QPainter>

#include <qrencode.h>

namespace {
// The standard's quiet zone around the symbol, in modules.
constexpr int kQuietZone = 4;
} // namespace

QrCodeItem::QrCodeItem(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(false);
    connect(this, &QrCodeItem::textChanged, this, [this] { update(); });
}

QImage QrCodeItem::encode(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QByteArray utf8 = text.toUtf8();
    // Medium error correction: reads from a screen at an angle and through reflections.
    QRcode *code = QRcode_encodeString8bit(utf8.constData(), 0, QR_ECLEVEL_M);
    if (!code)
        return {};
    const int side = code->width + 2 * kQuietZone;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (code->data[y * code->width + x] & 1)
                image.setPixel(x + kQuietZone, y + kQuietZone, qRgb(0, 0, 0));
        }
    }
    QRcode_free(code);
    return image;
}

void QrCodeItem::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_code = encode(text);
    emit textChanged();
}

void QrCodeItem::paint(QPainter *painter)
{
    if (m_code.isNull())
        return;
    const int side = int(std::min(width(), height()));
    const int module = std::max(1, side / m_code.width());
    const int drawn = module * m_code.width();
    const int left = (int(width()) - drawn) / 2, top = (int(height()) - drawn) / 2;
    painter->fillRect(QRect(left, top, drawn, drawn), m_background);
    for (int y = 0; y < m_code.height(); ++y) {
        const uchar *row = m_code.constScanLine(y);
        for (int x = 0; x < m_code.width(); ++x) {
            if (row[x] == 0)
                painter->fillRect(QRect(left + x * module, top + y * module, module, module), m_color);
        }
    }
}
