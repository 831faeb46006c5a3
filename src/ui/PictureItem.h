#pragma once

#include <QImage>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

// Draws one QImage as a texture clipped to a rounded rectangle. Setting a new image replaces
// the texture in place (no new item, no blank frame), which is what keeps live view smooth and
// the viewer's zoom and pan untouched. With `cover` the image fills the item and is cropped to
// its aspect ratio (thumbnail tiles); otherwise it is stretched to the item (the viewer sizes
// the item to the image's aspect itself).
class PictureItem : public QQuickItem
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QImage image READ image WRITE setImage NOTIFY imageChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)
    Q_PROPERTY(bool cover READ cover WRITE setCover NOTIFY coverChanged)
    Q_PROPERTY(QSizeF imageSize READ imageSize NOTIFY imageChanged)
    // Counts uploaded textures; lets tests and the benchmark see that frames reach the GPU.
    Q_PROPERTY(int uploads READ uploads NOTIFY uploaded)

public:
    // Larger images are scaled down before upload: every GL implementation we run on accepts
    // this size, and the viewer's 6× zoom of a window-sized view never needs more.
    static constexpr int kMaxTextureSide = 8192;

    explicit PictureItem(QQuickItem *parent = nullptr);

    [[nodiscard]] QImage image() const { return m_image; }
    void setImage(const QImage &image);
    [[nodiscard]] qreal radius() const { return m_radius; }
    void setRadius(qreal radius);
    [[nodiscard]] bool cover() const { return m_cover; }
    void setCover(bool cover);
    [[nodiscard]] QSizeF imageSize() const { return m_image.size(); }
    [[nodiscard]] int uploads() const { return m_uploads; }

    // The part of an image of `imageSize` that is shown in an item of `itemSize`: all of it, or
    // with `cover` the centred crop that has the item's aspect ratio.
    [[nodiscard]] static QRectF sourceRect(const QSizeF &imageSize, const QSizeF &itemSize, bool cover);

signals:
    void imageChanged();
    void radiusChanged();
    void coverChanged();
    void uploaded();

protected:
    QSGNode *updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *data) override;
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    QImage m_image;
    qreal m_radius = 0;
    bool m_cover = false;
    bool m_imageDirty = false;
    bool m_geometryDirty = true;
    int m_uploads = 0;
};
