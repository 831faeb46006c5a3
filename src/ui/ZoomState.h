#pragma once

#include <QPointF>
#include <QSizeF>

// Zoom and pan of the image viewer, without any drawing or input plumbing: the committed zoom,
// the pan offset, the pan at the end of the last drag and the live factor of a pinch.
// The displayed scale is zoom × magnifyDelta; the offset is in screen points (not scaled).
class ZoomState
{
public:
    static constexpr double kMinZoom = 1.0;
    static constexpr double kMaxZoom = 6.0;
    static constexpr double kDoubleClickZoom = 2.5;
    // Zoom within this much of the minimum counts as fitted, so a pinch that ends a hair above 1
    // does not leave the image stuck in a state where dragging pans it.
    static constexpr double kZoomedEpsilon = 0.01;
    // One notch of a mouse wheel is 120 units of angle (15 degrees); three notches double the
    // zoom, so the whole range from 1 to 6 takes about eight.
    static constexpr double kWheelUnitsPerDoubling = 360;

    // The image's size at zoom 1: as large as fits in `frame`, aspect ratio kept. Empty when
    // the image has no area.
    [[nodiscard]] static QSizeF fittedSize(const QSizeF &image, const QSizeF &frame);

    [[nodiscard]] double zoom() const { return m_zoom; }
    [[nodiscard]] QPointF offset() const { return m_offset; }
    [[nodiscard]] QPointF lastOffset() const { return m_lastOffset; }
    [[nodiscard]] double magnifyDelta() const { return m_magnifyDelta; }
    [[nodiscard]] double displayScale() const { return m_zoom * m_magnifyDelta; }
    [[nodiscard]] bool isZoomedIn() const { return m_zoom > kMinZoom + kZoomedEpsilon; }

    // Zoomed in: back to fitted with no pan. Fitted: zoom 2.5, pan kept.
    void doubleClick();
    // A drag in progress, `translation` measured from where it started. Pans only when zoomed in.
    void dragChanged(const QPointF &translation);
    void dragEnded();
    // A pinch in progress with cumulative factor `factor`; shown without any limit.
    void pinchChanged(double factor);
    // Commits zoom × factor limited to 1…6; at or below 1.01 the view returns to fitted.
    void pinchEnded(double factor);
    void pinchCancelled();
    // The zoom factor for a wheel turn of `angleDelta` units (positive: away from the user, in).
    [[nodiscard]] static double wheelFactor(double angleDelta);
    // Zooms by `factor` about `point` (measured from the frame's centre), limited to 1…6: the
    // part of the image under the point stays under it. At or below 1.01 the view returns to
    // fitted with no pan. The pan it leaves is where the next drag starts from.
    void zoomAbout(double factor, const QPointF &point);
    // Back to the initial state, for a new view identity.
    void reset();

private:
    double m_zoom = kMinZoom;
    QPointF m_offset;
    QPointF m_lastOffset;
    double m_magnifyDelta = 1.0;
};
