#include "ZoomArea.h"

#include <QEasingCurve>
#include <QNativeGestureEvent>

#include <cmath>

ZoomArea::ZoomArea(QQuickItem *parent)
    : QQuickItem(parent)
{
    setAcceptedMouseButtons(Qt::LeftButton);
    setClip(true);
    m_animation.setDuration(kAnimationMs);
    m_animation.setEasingCurve(QEasingCurve::InOutQuad);
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

void ZoomArea::animateToState()
{
    m_animation.stop();
    m_fromScale = m_shownScale;
    m_fromOffset = m_shownOffset;
    m_animation.start();
    emit viewChanged();
}

void ZoomArea::mousePressEvent(QMouseEvent *event)
{
    m_pressed = true;
    m_dragging = false;
    m_pressPos = event->position();
    event->accept();
}

void ZoomArea::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed)
        return;
    const QPointF translation = event->position() - m_pressPos;
    if (!m_dragging) {
        if (std::hypot(translation.x(), translation.y()) < kDragThreshold)
            return;
        m_dragging = true;
        setKeepMouseGrab(true);
    }
    const QPointF before = m_state.offset();
    m_state.dragChanged(translation);
    if (m_state.offset() != before)
        showState();
    event->accept();
}

void ZoomArea::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_dragging)
        m_state.dragEnded();
    m_pressed = false;
    m_dragging = false;
    setKeepMouseGrab(false);
    event->accept();
}

void ZoomArea::mouseUngrabEvent()
{
    if (m_dragging)
        m_state.dragEnded();
    m_pressed = false;
    m_dragging = false;
}

void ZoomArea::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second press of a double click must not turn into a drag of its own.
    m_pressed = false;
    m_dragging = false;
    m_state.doubleClick();
    animateToState();
    event->accept();
}

bool ZoomArea::event(QEvent *event)
{
    if (event->type() == QEvent::NativeGesture) {
        handleNativeGesture(static_cast<QNativeGestureEvent *>(event));
        return true;
    }
    return QQuickItem::event(event);
}

// Touchpad pinches arrive as a begin, incremental zoom deltas and an end; the cumulative factor
// is the product of (1 + delta).
void ZoomArea::handleNativeGesture(QNativeGestureEvent *event)
{
    switch (event->gestureType()) {
    case Qt::BeginNativeGesture:
        m_pinching = false;
        m_pinchFactor = 1.0;
        break;
    case Qt::ZoomNativeGesture:
        m_pinchFactor *= 1.0 + event->value();
        if (!m_pinching && std::abs(m_pinchFactor - 1.0) >= kPinchThreshold)
            m_pinching = true;
        if (m_pinching) {
            m_state.pinchChanged(m_pinchFactor);
            showState();
        }
        break;
    case Qt::EndNativeGesture:
        if (m_pinching) {
            m_state.pinchEnded(m_pinchFactor);
            showState();
        }
        m_pinching = false;
        m_pinchFactor = 1.0;
        break;
    default:
        break;
    }
    event->accept();
}
