#pragma once

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include "FakeConnection.h"
#include "state/Monitor.h"

// A preview that hands out a fixed image.
class FixedPreview : public PreviewSource
{
public:
    explicit FixedPreview(QImage image) : m_image(std::move(image)) {}
    [[nodiscard]] QImage image() const override
    {
        ++calls;
        return m_image;
    }
    mutable int calls = 0;

private:
    QImage m_image;
};

// A test picture: a diagonal gradient in two colours with a frame, so crops and scaling show.
inline QImage testImage(int width, int height, QColor from = QColor(0x3a, 0x6e, 0xa5), QColor to = QColor(0xe0, 0x9f, 0x3e))
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, width, height);
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.fillRect(image.rect(), g);
    p.setPen(QPen(Qt::white, std::max(1, width / 100)));
    p.drawEllipse(QPointF(width / 2.0, height / 2.0), width / 6.0, width / 6.0);
    return image;
}

// A Monitor on throw-away settings (no stored folder) with helpers to add cameras and photos.
struct MonitorFixture {
    QTemporaryDir dir;
    std::unique_ptr<Monitor> monitor;

    MonitorFixture()
    {
        monitor = std::make_unique<Monitor>(
            std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    }

    struct Camera {
        std::shared_ptr<CameraConnection> cam;
        std::shared_ptr<QList<QByteArray>> sent;
    };

    Camera addCamera(const QString &name = QStringLiteral("Cámara"))
    {
        auto conn = std::make_unique<FakeConnection>();
        auto sent = conn->sent;
        auto cam = std::make_shared<CameraConnection>(std::move(conn));
        cam->name = name;
        monitor->appendCamera(cam);
        return {cam, sent};
    }

    // Appends a photo to `cam` the way storage does, then announces the change.
    static CapturedPhoto &addPhoto(Monitor &monitor, CameraConnection &cam, const QString &filename, bool stored = true,
                                   bool withImages = true)
    {
        CapturedPhoto photo;
        photo.filename = filename;
        if (withImages) {
            photo.thumb = testImage(240, 160);
            photo.preview = std::make_shared<FixedPreview>(testImage(1200, 800));
        }
        photo.fileSizeBytes = 25480000;
        photo.format = QStringLiteral("RAW");
        photo.width = 6240;
        photo.height = 4160;
        photo.shutter = QStringLiteral("1/250");
        photo.aperture = QStringLiteral("f/2.8");
        photo.iso = QStringLiteral("400");
        photo.exposure = QStringLiteral("+0.7");
        photo.wb = QStringLiteral("AUTO");
        photo.lens = QStringLiteral("XF 33mm F1.4 @33mm");
        photo.capturedAt = QDateTime(QDate(2026, 3, 1), QTime(14, 3, 9));
        if (stored) {
            photo.storage = CapturedPhoto::Storage::Stored;
            photo.storedPath = QStringLiteral("/captures/") + filename;
        }
        cam.photos.append(photo);
        emit monitor.objectWillChange();
        return cam.photos.last();
    }
};

// The JSON commands in frames sent on a fake connection, oldest first.
inline QList<QJsonObject> sentCommands(const QList<QByteArray> &frames)
{
    QList<QJsonObject> commands;
    for (const QByteArray &frame : frames) {
        if (frame.size() < 8 || frame[0] != 'H' || frame[1] != 'V')
            continue;
        commands.append(QJsonDocument::fromJson(frame.mid(8)).object());
    }
    return commands;
}
