#include "HistogramItem.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "Zelv.h"

HistogramItem::HistogramItem(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void HistogramItem::setSource(ViewerAids *source)
{
    if (source == m_source)
        return;
    disconnect(m_connection);
    m_source = source;
    if (source)
        m_connection = connect(source, &ViewerAids::histogramChanged, this, [this] { update(); });
    update();
    emit sourceChanged();
}

void HistogramItem::paint(QPainter *painter)
{
    if (!m_source || !m_source->hasHistogram() || width() <= 0 || height() <= 0)
        return;
    const ImageAids::Histogram &h = m_source->histogram();
    const double peak = std::max<quint32>(h.displayPeak(), 1);
    const double w = width();
    const double ht = height();
    // One point per level; levels above the peak (the ends) are cut at the top. An empty level
    // lies just below the item, so the curves draw no line along the bottom.
    const double base = ht + 2;
    auto curve = [&](const std::array<quint32, 256> &bins) {
        QPolygonF points;
        points.reserve(256);
        for (int level = 0; level < 256; ++level)
            points.append({level * w / 255, base - std::min(1.0, bins[size_t(level)] / peak) * base});
        return points;
    };
    QPainterPath area;
    area.moveTo(0, base);
    for (const QPointF &p : curve(h.bins[ImageAids::Histogram::Luma]))
        area.lineTo(p);
    area.lineTo(w, base);
    area.closeSubpath();
    painter->fillPath(area, Zelv::color(Zelv::neutral400().rgb(), 0.35));
    const std::pair<ImageAids::Histogram::Channel, QColor> channels[] = {
        {ImageAids::Histogram::Red, Zelv::channelRed()},
        {ImageAids::Histogram::Green, Zelv::channelGreen()},
        {ImageAids::Histogram::Blue, Zelv::channelBlue()},
    };
    for (const auto &[channel, colour] : channels) {
        painter->setPen(QPen(colour, 1.2));
        painter->drawPolyline(curve(h.bins[size_t(channel)]));
    }
}
