#pragma once

#include <QEasingCurve>
#include <QImage>
#include <QPointF>
#include <QQuickItem>
#include <QVariantAnimation>
#include <QtQml/qqmlregistration.h>

#include "ZoomState.h"

// The geometry half of the zoomable viewer: it owns the ZoomState, takes the gestures that the
// viewer's input handlers recognise anywhere on its rectangle (double click, drag, pinch, wheel),
// animates the double click and the wheel, and publishes the fitted size, the scale and the pan
// for the QML that draws the image. A change of `identity` starts the zoom and pan afresh; a new
// image with the same identity (the next live-view frame) keeps them.
class ZoomArea : public QQuickItem
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QSizeF imageSize READ imageSize WRITE setImageSize NOTIFY geometryChanged)
    Q_PROPERTY(QString identity READ identity WRITE setIdentity NOTIFY identityChanged)
    Q_PROPERTY(qreal fittedWidth READ fittedWidth NOTIFY geometryChanged)
    Q_PROPERTY(qreal fittedHeight READ fittedHeight NOTIFY geometryChanged)
    // What is drawn: animated during a double click, live during a pinch.
    Q_PROPERTY(qreal shownScale READ shownScale NOTIFY viewChanged)
    Q_PROPERTY(qreal shownOffsetX READ shownOffsetX NOTIFY viewChanged)
    Q_PROPERTY(qreal shownOffsetY READ shownOffsetY NOTIFY viewChanged)
    // The committed state, for tests and for callers that want to know where an animation ends.
    Q_PROPERTY(qreal zoom READ zoom NOTIFY viewChanged)
    Q_PROPERTY(QPointF offset READ offset NOTIFY viewChanged)
    Q_PROPERTY(bool zoomedIn READ zoomedIn NOTIFY viewChanged)
    Q_PROPERTY(bool animating READ animating NOTIFY viewChanged)
    // For the drag handler: the one threshold of the viewer's drags.
    Q_PROPERTY(int dragThreshold READ dragThreshold CONSTANT)

public:
    // A drag begins once the pointer has moved this far from where it was pressed.
    static constexpr int kDragThreshold = 10;
    // A pinch begins once its factor differs from 1 by this much.
    static constexpr qreal kPinchThreshold = 0.01;
    static constexpr int kAnimationMs = 220;
    // Short, so that a quickly turned wheel follows the hand, and decelerating, so that each
    // notch's change restarts smoothly from what is shown.
    static constexpr int kWheelAnimationMs = 120;

    explicit ZoomArea(QQuickItem *parent = nullptr);

    [[nodiscard]] QSizeF imageSize() const { return m_imageSize; }
    void setImageSize(const QSizeF &size);
    [[nodiscard]] QString identity() const { return m_identity; }
    void setIdentity(const QString &identity);

    [[nodiscard]] qreal fittedWidth() const { return fitted().width(); }
    [[nodiscard]] qreal fittedHeight() const { return fitted().height(); }
    [[nodiscard]] qreal shownScale() const { return m_shownScale; }
    [[nodiscard]] qreal shownOffsetX() const { return m_shownOffset.x(); }
    [[nodiscard]] qreal shownOffsetY() const { return m_shownOffset.y(); }
    [[nodiscard]] qreal zoom() const { return m_state.zoom(); }
    [[nodiscard]] QPointF offset() const { return m_state.offset(); }
    [[nodiscard]] bool zoomedIn() const { return m_state.isZoomedIn(); }
    [[nodiscard]] bool animating() const { return m_animation.state() == QAbstractAnimation::Running; }
    [[nodiscard]] static int dragThreshold() { return kDragThreshold; }

    // A double click, or the key that does the same: fitted ↔ 2.5, animated.
    Q_INVOKABLE void toggleZoom();
    // A drag in progress, `translation` measured from where the pointer was pressed.
    Q_INVOKABLE void drag(const QPointF &translation);
    Q_INVOKABLE void endDrag();
    // A pinch in progress with cumulative factor `factor`: shown once it is 0.01 away from 1.
    Q_INVOKABLE void pinch(qreal factor);
    Q_INVOKABLE void endPinch();
    Q_INVOKABLE void cancelPinch();
    // A wheel turn of `angleDelta` units (the vertical axis; a tilt sideways counts when there is
    // no vertical turn) with the pointer at `position` in this item: zooms about the pointer.
    Q_INVOKABLE void wheel(const QPointF &angleDelta, const QPointF &position);

signals:
    void geometryChanged();
    void identityChanged();
    void viewChanged();

protected:
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    [[nodiscard]] QSizeF fitted() const;
    void showState(); // jumps to the committed state, ending any animation
    void animateToState(int durationMs, QEasingCurve::Type easing);
    void logState(const char *cause) const;

    ZoomState m_state;
    QSizeF m_imageSize;
    QString m_identity;
    qreal m_shownScale = 1.0;
    QPointF m_shownOffset;

    QVariantAnimation m_animation;
    qreal m_fromScale = 1.0;
    QPointF m_fromOffset;

    bool m_dragging = false;
    bool m_pinching = false;
    qreal m_pinchFactor = 1.0;
};
