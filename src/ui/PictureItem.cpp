#include "PictureItem.h"

#include <QQuickWindow>
#include <QSGGeometryNode>
#include <QSGImageNode>
#include <QSGRendererInterface>
#include <QSGTexture>
#include <QSGTextureMaterial>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace {

// Corner segments: enough that an 8-point corner at 6× zoom still looks round.
constexpr int kCornerSegments = 12;

// A geometry node that owns its texture and material.
class RoundedTextureNode : public QSGGeometryNode
{
public:
    RoundedTextureNode()
        : m_geometry(QSGGeometry::defaultAttributes_TexturedPoint2D(), 0)
    {
        m_geometry.setDrawingMode(QSGGeometry::DrawTriangles);
        setGeometry(&m_geometry);
        m_material.setFiltering(QSGTexture::Linear);
        m_material.setHorizontalWrapMode(QSGTexture::ClampToEdge);
        m_material.setVerticalWrapMode(QSGTexture::ClampToEdge);
        setMaterial(&m_material);
    }

    void setTexture(std::unique_ptr<QSGTexture> texture)
    {
        m_texture = std::move(texture);
        m_material.setTexture(m_texture.get());
        m_material.setMipmapFiltering(m_texture && m_texture->hasMipmaps() ? QSGTexture::Linear
                                                                          : QSGTexture::None);
        markDirty(DirtyMaterial);
    }
    [[nodiscard]] bool hasTexture() const { return m_texture != nullptr; }

    // A fan around the centre of `rect` whose rim is the rounded outline; texture coordinates
    // map `rect` onto `source` (normalised).
    void setShape(const QRectF &rect, qreal radius, const QRectF &source)
    {
        QList<QPointF> rim;
        const qreal r = std::clamp(radius, 0.0, std::min(rect.width(), rect.height()) / 2);
        const QPointF centres[4] = {
            {rect.right() - r, rect.top() + r},
            {rect.right() - r, rect.bottom() - r},
            {rect.left() + r, rect.bottom() - r},
            {rect.left() + r, rect.top() + r},
        };
        for (int corner = 0; corner < 4; ++corner) {
            const double start = -std::numbers::pi / 2 + corner * std::numbers::pi / 2;
            const int steps = r > 0 ? kCornerSegments : 0;
            for (int i = 0; i <= steps; ++i) {
                const double a = start + (std::numbers::pi / 2) * (steps ? double(i) / steps : 0);
                rim.append(centres[corner] + QPointF(r * std::cos(a), r * std::sin(a)));
            }
        }
        m_geometry.allocate(int(rim.size()) * 3);
        auto *v = m_geometry.vertexDataAsTexturedPoint2D();
        auto put = [&](int index, const QPointF &p) {
            const qreal u = source.left() + (p.x() - rect.left()) / rect.width() * source.width();
            const qreal t = source.top() + (p.y() - rect.top()) / rect.height() * source.height();
            v[index].set(float(p.x()), float(p.y()), float(u), float(t));
        };
        for (qsizetype i = 0; i < rim.size(); ++i) {
            put(int(i) * 3, rect.center());
            put(int(i) * 3 + 1, rim[i]);
            put(int(i) * 3 + 2, rim[(i + 1) % rim.size()]);
        }
        markDirty(DirtyGeometry);
    }

private:
    QSGGeometry m_geometry;
    QSGTextureMaterial m_material;
    std::unique_ptr<QSGTexture> m_texture;
};

QImage uploadable(const QImage &image)
{
    if (image.width() <= PictureItem::kMaxTextureSide && image.height() <= PictureItem::kMaxTextureSide)
        return image;
    return image.scaled(PictureItem::kMaxTextureSide, PictureItem::kMaxTextureSide,
                        Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

PictureItem::PictureItem(QQuickItem *parent)
    : QQuickItem(parent)
{
    setFlag(ItemHasContents, true);
}

void PictureItem::setImage(const QImage &image)
{
    if (image.cacheKey() == m_image.cacheKey() && !image.isNull())
        return;
    const bool sizeChanged = image.size() != m_image.size();
    m_image = image;
    m_imageDirty = true;
    m_geometryDirty = m_geometryDirty || sizeChanged;
    update();
    emit imageChanged();
}

void PictureItem::setRadius(qreal radius)
{
    if (qFuzzyCompare(radius, m_radius))
        return;
    m_radius = radius;
    m_geometryDirty = true;
    update();
    emit radiusChanged();
}

void PictureItem::setCover(bool cover)
{
    if (cover == m_cover)
        return;
    m_cover = cover;
    m_geometryDirty = true;
    update();
    emit coverChanged();
}

void PictureItem::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size()) {
        m_geometryDirty = true;
        update();
    }
}

QRectF PictureItem::sourceRect(const QSizeF &imageSize, const QSizeF &itemSize, bool cover)
{
    const QRectF all(QPointF(0, 0), imageSize);
    if (!cover || imageSize.isEmpty() || itemSize.isEmpty())
        return all;
    const qreal imageAspect = imageSize.width() / imageSize.height();
    const qreal itemAspect = itemSize.width() / itemSize.height();
    if (imageAspect > itemAspect) {
        const qreal w = imageSize.height() * itemAspect;
        return {(imageSize.width() - w) / 2, 0, w, imageSize.height()};
    }
    const qreal h = imageSize.width() / itemAspect;
    return {0, (imageSize.height() - h) / 2, imageSize.width(), h};
}

QSGNode *PictureItem::updatePaintNode(QSGNode *oldNode, UpdatePaintNodeData *)
{
    if (m_image.isNull() || width() <= 0 || height() <= 0) {
        delete oldNode;
        return nullptr;
    }
    QQuickWindow *win = window();
    const bool software = win->rendererInterface()->graphicsApi() == QSGRendererInterface::Software;

    QSGTexture *texture = nullptr;
    if (m_imageDirty || !oldNode) {
        const QImage upload = uploadable(m_image);
        // Mipmaps only pay off when the image is shown much smaller than it is.
        const bool mipmap = !software && (upload.width() > 2 * width() * win->effectiveDevicePixelRatio()
                                          || upload.height() > 2 * height() * win->effectiveDevicePixelRatio());
        texture = win->createTextureFromImage(upload, mipmap ? QQuickWindow::TextureHasMipmaps
                                                             : QQuickWindow::CreateTextureOptions());
        m_imageDirty = false;
        ++m_uploads;
        QMetaObject::invokeMethod(this, &PictureItem::uploaded, Qt::QueuedConnection);
    }

    const QRectF rect(0, 0, width(), height());
    const QRectF src = sourceRect(m_image.size(), rect.size(), m_cover);

    if (software) {
        // The software renderer has no custom geometry; corners stay square there.
        auto *node = static_cast<QSGImageNode *>(oldNode);
        if (!node) {
            node = win->createImageNode();
            node->setOwnsTexture(true);
            node->setFiltering(QSGTexture::Linear);
        }
        if (texture)
            node->setTexture(texture);
        node->setRect(rect);
        const QSizeF texSize = node->texture()->textureSize();
        const qreal kx = texSize.width() / m_image.width();
        const qreal ky = texSize.height() / m_image.height();
        node->setSourceRect(QRectF(src.x() * kx, src.y() * ky, src.width() * kx, src.height() * ky));
        m_geometryDirty = false;
        return node;
    }

    auto *node = static_cast<RoundedTextureNode *>(oldNode);
    if (!node)
        node = new RoundedTextureNode;
    if (texture)
        node->setTexture(std::unique_ptr<QSGTexture>(texture));
    if (m_geometryDirty || !oldNode) {
        const QRectF normalised(src.x() / m_image.width(), src.y() / m_image.height(),
                                src.width() / m_image.width(), src.height() / m_image.height());
        node->setShape(rect, m_radius, normalised);
    }
    m_geometryDirty = false;
    return node;
}
