#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "QtPrinters.h"
#include "SampleFiles.h"
#include "WindowState.h"
#include "state/Monitor.h"

// A preview that hands out a fixed image at once, and counts how often it was asked.
struct FixedPreview : PreviewSource {
    QImage fixed;
    mutable int calls = 0;
    explicit FixedPreview(QImage image) : fixed(std::move(image)) {}
    [[nodiscard]] QImage image() const override { return ++calls, fixed; }
};

// A Monitor on throw-away settings (no stored folder) and the one WindowState over it, with
// helpers that add cameras and photos the way the camera link and storage do.
struct MonitorFixture : ScratchSettings {
    Monitor monitor{settings()};
    WindowState ws{monitor};

    void changed() { emit monitor.objectWillChange(); }

    CameraConnection &addCamera(const QString &name = "Cámara", CameraStatus status = CameraStatus::Receiving)
    {
        auto cam = addFakeCamera(monitor);
        cam->name = name;
        cam->status = status; // as the link reports it, once the camera is listed
        changed();
        return *cam;
    }

    // The commands sent to `cam`, oldest first, as the values of their JSON ("setParam iso 400").
    static QStringList commands(const CameraConnection &cam)
    {
        QStringList commands;
        for (const QByteArray &frame : sentTo(cam)) {
            QStringList values;
            for (const QJsonValue &value : QJsonDocument::fromJson(frame.mid(8)).object())
                values.append(value.toVariant().toString());
            commands.append(values.join(' '));
        }
        return commands;
    }

    // Its preview is `preview`, or by default a 1200 × 800 picture of quadrants.
    CapturedPhoto &addPhoto(CameraConnection &cam, const QString &filename, bool stored = true, QImage preview = {})
    {
        CapturedPhoto photo;
        photo.filename = filename;
        photo.thumb = SampleFiles::quadrants(QSize(240, 160));
        photo.preview = std::make_shared<FixedPreview>(preview.isNull() ? SampleFiles::quadrants(QSize(1200, 800))
                                                                        : std::move(preview));
        photo.fileSizeBytes = 25480000;
        photo.format = QStringLiteral("RAW");
        photo.width = 6240;
        photo.height = 4160;
        photo.shutter = QStringLiteral("1/250");
        photo.aperture = QStringLiteral("f/2.8");
        photo.iso = QStringLiteral("400");
        photo.exposure = QStringLiteral("+0.7");
        photo.wb = QStringLiteral("AUTO");
        photo.lens = QStringLiteral("33mm F1.4 @33mm");
        photo.capturedAt = QDateTime(QDate(2026, 3, 1), QTime(14, 3, 9));
        photo.storage = stored ? CapturedPhoto::Storage::Stored : CapturedPhoto::Storage::NotStored;
        cam.photos.append(photo);
        changed();
        return cam.photos.last();
    }
};
