#pragma once

#include <QImage>
#include <QQuickPaintedItem>
#include <QString>
#include <QtQml/qqmlregistration.h>

// A QR code of `text`, drawn in `color` on `background` with the quiet zone the standard asks
// for, scaled to whole pixels per module so that a phone's camera reads it from the screen.
class QrCodeItem : public QQuickPaintedItem
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(QColor color MEMBER m_color NOTIFY textChanged)
    Q_PROPERTY(QColor background MEMBER m_background NOTIFY textChanged)

public:
    explicit QrCodeItem(QQuickItem *parent = nullptr);

    [[nodiscard]] QString text() const { return m_text; }
    void setText(const QString &text);
    void paint(QPainter *painter) override;

    // One pixel per module (black on white), quiet zone included; null when `text` is empty or
    // too long for a QR code.
    [[nodiscard]] static QImage encode(const QString &text);

signals:
    void textChanged();

private:
    QString m_text;
    QImage m_code;
    QColor m_color = Qt::black;
    QColor m_background = Qt::white;
};
