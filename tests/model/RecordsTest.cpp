#include <QDateTime>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "model/CameraConnection.h"
#include "model/CapturedPhoto.h"

namespace {

const QString kDash = QStringLiteral("\u2014");

TEST(CameraConnectionRecord, StartsWithTheInitialValues)
{
    const QDateTime before = QDateTime::currentDateTime();
    auto fake = std::make_unique<FakeConnection>();
    Connection *raw = fake.get();
    CameraConnection cam(std::move(fake));

    EXPECT_FALSE(cam.id().isNull());
    EXPECT_EQ(cam.conn(), raw);
    EXPECT_EQ(cam.name, QStringLiteral("Cámara"));
    EXPECT_EQ(cam.status, CameraStatus::Receiving);
    EXPECT_TRUE(cam.enabled);
    EXPECT_TRUE(cam.photos.isEmpty());
    EXPECT_TRUE(cam.paramState.isEmpty());
    EXPECT_TRUE(cam.liveFrame.isNull());
    EXPECT_GE(cam.lastActivity, before);
    EXPECT_LE(cam.lastActivity, QDateTime::currentDateTime());
}

TEST(CameraConnectionRecord, EqualityIsIdentityNotContent)
{
    CameraConnection a(std::make_unique<FakeConnection>());
    CameraConnection b(std::make_unique<FakeConnection>());
    a.name = b.name = QStringLiteral("X-T5");
    EXPECT_NE(a.id(), b.id());
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a == a);
}

TEST(CameraConnectionRecord, WorksWithoutALiveConnection)
{
    CameraConnection cam(nullptr);
    EXPECT_EQ(cam.conn(), nullptr);
    cam.paramState.insert(QStringLiteral("iso"), ParamState{400, {200, 400, 800}});
    EXPECT_EQ(cam.paramState.value(QStringLiteral("iso")).values, QList<qint64>({200, 400, 800}));
}

TEST(CapturedPhotoRecord, DefaultsAreTheMissingValues)
{
    const QDateTime before = QDateTime::currentDateTime();
    CapturedPhoto photo;
    EXPECT_FALSE(photo.id().isNull());
    EXPECT_TRUE(photo.thumb.isNull());
    EXPECT_EQ(photo.preview, nullptr);
    EXPECT_FALSE(photo.isStored());
    EXPECT_GE(photo.capturedAt, before);
    for (const QString *text : {&photo.lens, &photo.shutter, &photo.aperture, &photo.iso, &photo.exposure, &photo.wb})
        EXPECT_EQ(*text, kDash);
    EXPECT_EQ(photo.format, QString());
    EXPECT_EQ(photo.fileSizeBytes, 0);
    EXPECT_EQ(photo.width, 0);
    EXPECT_EQ(photo.height, 0);
}

TEST(CapturedPhotoRecord, IdentityIsFreshPerRecordAndKeptByCopies)
{
    CapturedPhoto a;
    CapturedPhoto b;
    a.filename = b.filename = QStringLiteral("IMG_0001.JPG");
    EXPECT_NE(a.id(), b.id());
    const CapturedPhoto copy = a;
    EXPECT_EQ(copy.id(), a.id());
    EXPECT_EQ(copy.filename, a.filename);
}

} // namespace
