#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>

#include <ostream>

#include "FakeConnection.h"
#include "WindowState.h"
#include "model/Monitor.h"

// Failure messages show the text, not the bytes of the object.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

// A preview that hands out a fixed image at once and counts how often it is decoded.
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

// A test picture: a diagonal gradient in two colours with a circle, so crops and scaling show.
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

// A Monitor on throw-away settings (no stored folder) and the one WindowState over it, with
// helpers that add cameras and photos the way the camera link and storage do.
struct MonitorFixture {
    QTemporaryDir dir;
    std::unique_ptr<Monitor> monitor = std::make_unique<Monitor>(
        std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    WindowState ws{*monitor};
    QHash<const CameraConnection *, std::shared_ptr<QList<QByteArray>>> sent;

    CameraConnection &addCamera(const QString &name = QStringLiteral("Cámara"),
                                CameraStatus status = CameraStatus::Receiving)
    {
        auto conn = std::make_unique<FakeConnection>();
        auto frames = conn->sent;
        auto cam = std::make_shared<CameraConnection>(std::move(conn));
        sent[cam.get()] = frames;
        cam->name = name;
        cam->status = status;
        monitor->appendCamera(cam);
        return *cam;
    }

    void changed() { emit monitor->objectWillChange(); }

    // The commands sent to `cam`, oldest first, as "cmd param value" ("shutter", "setParam iso 400").
    QStringList commands(const CameraConnection &cam)
    {
        QStringList commands;
        for (const QByteArray &frame : *sent.value(&cam)) {
            const QJsonObject c = QJsonDocument::fromJson(frame.mid(8)).object();
            commands.append(QStringList{c[QStringLiteral("cmd")].toString(), c[QStringLiteral("param")].toString(),
                                        c[QStringLiteral("value")].toVariant().toString()}
                                .join(QLatin1Char(' '))
                                .trimmed());
        }
        return commands;
    }

    CapturedPhoto &addPhoto(CameraConnection &cam, const QString &filename, bool stored = true, bool withImages = true)
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
        photo.storage = stored ? CapturedPhoto::Storage::Stored : CapturedPhoto::Storage::NotStored;
        cam.photos.append(photo);
        changed();
        return cam.photos.last();
    }
};
