#pragma once

#include <QPointer>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

#include "ViewerAids.h"

// The viewer's histogram as curves: luminance as a filled area, the red, green and blue channels
// as lines over it, all levels from 0 at the left to 255 at the right and the tallest level
// between the ends at full height. Draws nothing without a histogram; the frame around it is the
// QML's.
class HistogramItem : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(ViewerAids *source READ source WRITE setSource NOTIFY sourceChanged)

public:
    explicit HistogramItem(QQuickItem *parent = nullptr);

    [[nodiscard]] ViewerAids *source() const { return m_source; }
    void setSource(ViewerAids *source);

    void paint(QPainter *painter) override;

signals:
    void sourceChanged();

private:
    QPointer<ViewerAids> m_source;
    QMetaObject::Connection m_connection;
};
