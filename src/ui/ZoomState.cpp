#include "ZoomState.h"

#include <algorithm>
#include <cmath>

QSizeF ZoomState::fittedSize(const QSizeF &image, const QSizeF &frame)
{
    if (image.width() <= 0 || image.height() <= 0 || frame.width() <= 0 || frame.height() <= 0)
        return {};
    const double aspect = image.width() / image.height();
    if (aspect > frame.width() / frame.height())
        return {frame.width(), frame.width() / aspect};
    return {frame.height() * aspect, frame.height()};
}

void ZoomState::doubleClick()
{
    if (isZoomedIn()) {
        m_zoom = kMinZoom;
        m_offset = {};
        m_lastOffset = {};
    } else {
        m_zoom = kDoubleClickZoom;
    }
}

void ZoomState::dragChanged(const QPointF &translation)
{
    if (isZoomedIn())
        m_offset = m_lastOffset + translation;
}

void ZoomState::dragEnded()
{
    m_lastOffset = m_offset;
}

void ZoomState::pinchChanged(double factor)
{
    m_magnifyDelta = factor;
}

void ZoomState::pinchEnded(double factor)
{
    m_zoom = std::clamp(m_zoom * factor, kMinZoom, kMaxZoom);
    if (m_zoom <= kMinZoom + kZoomedEpsilon) {
        m_zoom = kMinZoom;
        m_offset = {};
        m_lastOffset = {};
    }
    m_magnifyDelta = 1.0;
}

void ZoomState::pinchCancelled()
{
    m_magnifyDelta = 1.0;
}

double ZoomState::wheelFactor(double angleDelta)
{
    return std::exp2(angleDelta / kWheelUnitsPerDoubling);
}

void ZoomState::zoomAbout(double factor, const QPointF &point)
{
    const double zoom = std::clamp(m_zoom * factor, kMinZoom, kMaxZoom);
    if (zoom <= kMinZoom + kZoomedEpsilon) {
        reset();
        return;
    }
    // The card is drawn at offset + scale × (image point): keep point = offset' + zoom' × that.
    m_offset = point - (point - m_offset) * (zoom / m_zoom);
    m_lastOffset = m_offset;
    m_zoom = zoom;
}

void ZoomState::reset()
{
    *this = ZoomState();
}
