#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QUuid>

#include <memory>

#include "model/Missing.h"


// The full-size image of one photo, produced on demand so that a long session does not hold
// every decoded photo in memory. Ingest supplies the implementation; image() returns a null
// image when the photo cannot be decoded (or its bytes are gone). Main thread only.
class PreviewSource
{
public:
    virtual ~PreviewSource() = default;
    [[nodiscard]] virtual QImage image() const = 0;
};

// One received photo file, its metadata already as display text. A plain value: copying it
// copies the fields, the images are implicitly shared.
class CapturedPhoto
{
public:
    CapturedPhoto() = default; // a fresh, random id; everything else at its default

    [[nodiscard]] const QUuid &id() const { return m_id; }

    QImage thumb;   // longer side at most 320 px, upright; null when absent
    std::shared_ptr<PreviewSource> preview; // full-size image on demand; null when absent
    QString filename; // exactly as the peer sent it, not the stored name
    QDateTime capturedAt = QDateTime::currentDateTime();
    QString lens = kMissing;
    qint64 fileSizeBytes = 0;
    QString format;
    qint64 width = 0;
    qint64 height = 0;
    QString shutter = kMissing;
    QString aperture = kMissing;
    QString iso = kMissing;
    QString exposure = kMissing;
    QString wb = kMissing;

    // Where the file was written in the capture folder. Empty while the photo is not stored
    // (no folder chosen, or the write failed): its bytes are then kept in memory and the views
    // mark it, so the user never believes an unsaved photo is safe.
    QString storedPath;
    [[nodiscard]] bool isStored() const { return !storedPath.isEmpty(); }

private:
    QUuid m_id = QUuid::createUuid();
};
