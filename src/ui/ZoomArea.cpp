#include "ZoomArea.h"

#include <cmath>

#include "model/Logging.h"

ZoomArea::ZoomArea(QQuickItem *parent)
    : QQuickItem(parent)
{
    setClip(true);
    m_animation.setStartValue(0.0);
    m_animation.setEndValue(1.0);
    connect(&m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        const qreal t = value.toReal();
        m_shownScale = m_fromScale + (m_state.displayScale() - m_fromScale) * t;
        m_shownOffset = m_fromOffset + (m_state.offset() - m_fromOffset) * t;
        emit viewChanged();
    });
    connect(&m_animation, &QVariantAnimation::finished, this, [this] { showState(); });
}

void ZoomArea::setImageSize(const QSizeF &size)
{
    if (size == m_imageSize)
        return;
    m_imageSize = size;
    emit geometryChanged();
}

void ZoomArea::setIdentity(const QString &identity)
{
    if (identity == m_identity)
        return;
    m_identity = identity;
    m_state.reset();
    m_dragging = false;
    m_pinching = false;
    m_pinchFactor = 1.0;
    showState();
    emit identityChanged();
}

void ZoomArea::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        emit geometryChanged();
}

QSizeF ZoomArea::fitted() const
{
    return ZoomState::fittedSize(m_imageSize, size());
}

void ZoomArea::showState()
{
    m_animation.stop();
    m_shownScale = m_state.displayScale();
    m_shownOffset = m_state.offset();
    emit viewChanged();
}

// Scale and pan move together in a straight line, so a zoom about a point keeps that point
// still during the animation too.
void ZoomArea::animateToState(int durationMs, QEasingCurve::Type easing)
{
    m_animation.stop();
    m_animation.setDuration(durationMs);
    m_animation.setEasingCurve(easing);
    m_fromScale = m_shownScale;
    m_fromOffset = m_shownOffset;
    m_animation.start();
    emit viewChanged();
}

void ZoomArea::logState(const char *cause) const
{
    qCDebug(lcUi).nospace() << "viewer " << cause << ": zoom " << m_state.zoom() << ", offset "
                            << m_state.offset().x() << "," << m_state.offset().y();
}

void ZoomArea::toggleZoom()
{
    m_state.doubleClick();
    animateToState(kAnimationMs, QEasingCurve::InOutQuad);
    logState("double click");
}

void ZoomArea::drag(const QPointF &translation)
{
    m_dragging = true;
    const QPointF before = m_state.offset();
    m_state.dragChanged(translation);
    if (m_state.offset() != before)
        showState();
}

void ZoomArea::endDrag()
{
    if (!m_dragging)
        return;
    m_dragging = false;
    m_state.dragEnded();
    logState("drag");
}

void ZoomArea::pinch(qreal factor)
{
    m_pinchFactor = factor;
    if (!m_pinching && std::abs(factor - 1.0) < kPinchThreshold)
        return;
    m_pinching = true;
    m_state.pinchChanged(factor);
    showState();
}

void ZoomArea::endPinch()
{
    if (m_pinching) {
        m_state.pinchEnded(m_pinchFactor);
        showState();
        logState("pinch");
    }
    m_pinching = false;
    m_pinchFactor = 1.0;
}

void ZoomArea::cancelPinch()
{
    if (m_pinching) {
        m_state.pinchCancelled();
        showState();
    }
    m_pinching = false;
    m_pinchFactor = 1.0;
}

void ZoomArea::wheel(const QPointF &angleDelta, const QPointF &position)
{
    const qreal turn = angleDelta.y() != 0 ? angleDelta.y() : angleDelta.x();
    if (turn == 0 || m_pinching)
        return;
    m_state.zoomAbout(ZoomState::wheelFactor(turn), position - QPointF(width() / 2, height() / 2));
    animateToState(kWheelAnimationMs, QEasingCurve::OutQuad);
    logState("wheel");
}
