#include "SvgIcon.h"

#include <QFile>
#include <QPainter>
#include <QQuickWindow>
#include <QSvgRenderer>

namespace {
QString iconPath(const QString &name)
{
    return QStringLiteral(":/qt/qml/Halvane/Ui/icons/%1.svg").arg(name);
}
} // namespace

SvgIcon::SvgIcon(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void SvgIcon::setName(const QString &name)
{
    if (name == m_name)
        return;
    m_name = name;
    update();
    emit nameChanged();
}

void SvgIcon::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
    emit colorChanged();
}

bool SvgIcon::valid() const
{
    return !m_name.isEmpty() && QFile::exists(iconPath(m_name));
}

QImage SvgIcon::render(const QString &name, const QSize &size, const QColor &color)
{
    QSvgRenderer renderer(iconPath(name));
    if (!renderer.isValid() || size.isEmpty())
        return {};
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // Keep the drawing's aspect ratio, centred in the item.
    const QSizeF natural = QSizeF(renderer.defaultSize()).scaled(QSizeF(size), Qt::KeepAspectRatio);
    const QRectF target(QPointF((size.width() - natural.width()) / 2, (size.height() - natural.height()) / 2), natural);
    renderer.render(&painter, target);
    // The drawings are single-colour shapes; paint the colour through their coverage.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

void SvgIcon::paint(QPainter *painter)
{
    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSize px = (size() * dpr).toSize();
    QImage image = render(m_name, px, m_color);
    if (image.isNull())
        return;
    image.setDevicePixelRatio(dpr);
    painter->drawImage(QPointF(0, 0), image);
}
