#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QUuid>

#include "model/Missing.h"


// One received photo file, its metadata already as display text. A plain value: copying it
// copies the fields, the images are implicitly shared.
class CapturedPhoto
{
public:
    CapturedPhoto() = default; // a fresh, random id; everything else at its default

    [[nodiscard]] const QUuid &id() const { return m_id; }

    QImage thumb;   // longer side at most 320 px, upright; null when absent
    QImage preview; // full-size decoded image; null when absent
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

private:
    QUuid m_id = QUuid::createUuid();
};
