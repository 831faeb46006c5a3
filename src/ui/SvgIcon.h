#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

// One of the application's own icons (an SVG in the module's resources), drawn in a single
// colour at the item's size. `name` is the icon's name, e.g. "camera.fill".
class SvgIcon : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(bool valid READ valid NOTIFY nameChanged)

public:
    explicit SvgIcon(QQuickItem *parent = nullptr);

    [[nodiscard]] QString name() const { return m_name; }
    void setName(const QString &name);
    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);
    [[nodiscard]] bool valid() const;

    void paint(QPainter *painter) override;

    // The icon rendered into an image of `size` pixels, in `color`; null for an unknown name.
    [[nodiscard]] static QImage render(const QString &name, const QSize &size, const QColor &color);

signals:
    void nameChanged();
    void colorChanged();

private:
    QString m_name;
    QColor m_color = Qt::white;
};
